// Exception classes shared by the whole program. Every failure is an exception carrying a message
// text; ClassName() names the class so that the error report and the query thread can pass it on.
#pragma once

#include <exception>
#include <string>

class Exception : public std::exception {
public:
    explicit Exception(std::string message) : message_(std::move(message)) {}
    const char* what() const noexcept override { return message_.c_str(); }
    const std::string& Message() const noexcept { return message_; }
    virtual const char* ClassName() const noexcept { return "Exception"; }

private:
    std::string message_;
};

#define NB_DECLARE_EXCEPTION(Name, Base)                                  \
    class Name : public Base {                                            \
    public:                                                               \
        using Base::Base;                                                 \
        const char* ClassName() const noexcept override { return #Name; } \
    }

// A misuse of an in-house unit or a broken internal invariant.
NB_DECLARE_EXCEPTION(EAssertionFailed, Exception);
// A failed read or write of a file, pipe or stream.
NB_DECLARE_EXCEPTION(EInOutError, Exception);
// A format string that does not match its arguments, or a text that does not convert.
NB_DECLARE_EXCEPTION(EConvertError, Exception);

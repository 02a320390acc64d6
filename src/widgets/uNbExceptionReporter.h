// The error dialog: every exception that reaches the application's top-level handler is shown
// here with a one-line summary, the full message with its stack trace behind "Details >>", and
// (unless the user unticks it) an error report is posted to the maker when the dialog closes.
#pragma once

#include <QDialog>

#include <exception>
#include <string>
#include <string_view>
#include <vector>

class QCheckBox;
class QLabel;
class QPlainTextEdit;
class QPushButton;
class TNbHttp;

// The summary line: the message up to its first carriage return, with "." appended when the
// last character's code is above that of "." (a letter, digit, "?" or ":", but not "!" or ")").
std::string NbReportSummary(std::string_view message);
// Form encoding of one value: every byte outside A-Z a-z 0-9 - . _ ~ as "%" and two hex digits.
std::string NbEncodeReportParam(std::string_view text);
// "Message=...&ExeName=...&AppName=...&AppVersion=...&Details=..." with each value encoded.
std::string NbErrorReportBody(std::string_view message, std::string_view exeName, std::string_view appName, std::string_view appVersion,
                              std::string_view details);
// The upload address under a base address: base + "/error-report/?ExeBase=" + the program's file
// name. Empty when the base may not carry reports: only HTTPS, or plain HTTP to a loopback host.
QString NbErrorReportTarget(const QString& baseUrl, std::string_view exeName);

class TNbExceptionReporter : public QDialog {
    Q_OBJECT
public:
    explicit TNbExceptionReporter(QWidget* owner = nullptr);

    // The five texts, set before the dialog is shown; Fill puts them into the controls.
    std::string ExeName, AppName, AppVersion, Message, Details;
    void Fill();

    QLabel* Image1;
    QLabel* lMessage;
    QPlainTextEdit* mMessage;
    QCheckBox* cbReport;
    QPushButton* bDetails;
    QPushButton* bOk;

    void bDetailsClick();

protected:
    void showEvent(QShowEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void done(int result) override;

private:
    void FormShow();
    void FormClose();
    static void HttpDone(TNbHttp* sender);

    // Controls keep their distances to the anchored client edges as the dialog is resized.
    struct TAnchor {
        QWidget* control;
        QRect designed;
        bool left, top, right, bottom;
    };
    std::vector<TAnchor> anchors_;
    bool closed_ = false;
};

// Shows the exception (with the trace recorded when it was thrown) in the error dialog, modally,
// owned by the given window (none during start-up); returns when it has closed. An upload that it
// started goes on in the background, owned by that window.
void NbReportException(const std::string& exeName, const std::string& appName, const std::string& appVersion, const std::exception& e,
                       QWidget* owner = nullptr);
// The same for an exception that is not a std::exception: its message and this thread's last trace.
void NbReportException(const std::string& exeName, const std::string& appName, const std::string& appVersion, const std::string& message,
                       QWidget* owner = nullptr);

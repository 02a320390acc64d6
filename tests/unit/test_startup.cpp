#include "uNbAppInfo.h"
#include "uNbAssert.h"
#include "uNbExceptions.h"
#include "uNbInstaller.h"
#include "uNbLog.h"
#include "uNbStackTrace.h"
#include "uNbStartup.h"

#include <gtest/gtest.h>

namespace {

TEST(Startup, LogLinesWrittenWhileIdentityHoldsDefaults) {
    NbAppName() = "Something else";
    struct Seen {
        std::string text, appName, shortName, version;
        bool traces;
    };
    std::vector<Seen> seen;
    NbLogSetDebuggerSink([&](std::string_view p) {
        seen.push_back({std::string(p), NbAppName(), NbAppShortName(), NbAppVersion(), NbStackTraceEnabled()});
    });
    NbLibraryStartup("/opt/x/tolvan");
    NbLogSetDebuggerSink({});

    ASSERT_GE(seen.size(), 2u);
    EXPECT_EQ(seen[0].text, "Log system initializing.");
    EXPECT_EQ(seen[1].text.rfind("Command line: ", 0), 0u) << seen[1].text;
    for (const auto& s : seen) {
        EXPECT_EQ(s.appName, "Merivane Application");
        EXPECT_EQ(s.shortName, "App");
        EXPECT_EQ(s.version, "0.0");
        EXPECT_TRUE(s.traces) << "stack-trace capture must be on before the log starts";
    }
    EXPECT_FALSE(NbAppExePath().empty());
    EXPECT_EQ(NbAppExePath().front(), '/');
}

TEST(Startup, InstallerHookAssertsIdentity) {
    struct Case {
        const char* name;
        const char* shortName;
        const char* message;
    };
    const Case cases[] = {
        {"Merivane Application", "Tolvan", "NbAppName must be set before NbInstaller can work. (NbUtils/uNbInstaller, line 628)"},
        {"Merivane Tolvan", "App", "NbAppShortName must be set before NbInstaller can work. (NbUtils/uNbInstaller, line 630)"},
        {"Merivane Tolvan", "Tolvan", nullptr},
    };
    for (const auto& c : cases) {
        NbAppName() = c.name;
        NbAppShortName() = c.shortName;
        if (c.message) {
            try {
                NbInstallerStartup();
                ADD_FAILURE() << "no assertion for " << c.name << "/" << c.shortName;
            } catch (const EAssertionFailed& e) {
                EXPECT_EQ(e.Message(), c.message);
            }
        } else {
            EXPECT_NO_THROW(NbInstallerStartup());
        }
        EXPECT_TRUE(NbInstallerStarted());
    }
}

[[gnu::noinline]] void ThrowFromHere() { NbAssertFail("broken", "NbUtils/uTest", 1); }

TEST(Startup, ThrowsRecordTheirStack) {
    NbStackTraceEnable(true);
    try {
        ThrowFromHere();
    } catch (const EAssertionFailed& e) {
        EXPECT_EQ(std::string(e.ClassName()), "EAssertionFailed");
        EXPECT_GT(NbLastExceptionStack().size(), 2u);
    }
}

}  // namespace

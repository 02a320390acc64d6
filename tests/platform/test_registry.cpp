// Settings keys as INI files.
#include "platform_fixture.h"
#include "uNbFolders.h"
#include "uNbRegistry.h"

namespace fs = std::filesystem;

TEST_F(PlatformTest, KeyPathsMapToFiles) {
    using R = TNbRegistryRoot;
    EXPECT_EQ(TNbRegistry::KeyFileName(R::CurrentUser, "Software\\Merivane\\Tolvan", true), root + "/config/Merivane/Tolvan.conf");
    EXPECT_EQ(TNbRegistry::KeyFileName(R::CurrentUser, "\\software\\Merivane\\Common\\", true), root + "/config/Merivane/Common.conf");
    EXPECT_EQ(TNbRegistry::KeyFileName(R::LocalMachine, "\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Tolvan", true),
              root + "/etc/Microsoft/Windows/CurrentVersion/Uninstall/Tolvan.conf");
    EXPECT_EQ(TNbRegistry::KeyFileName(R::CurrentUser, "Merivane", true), root + "/config/Merivane.conf");
    for (const char* bad : {"Software", "", "Software\\..\\x", "A\\\\B", "A\\b/c", "A\\."})
        EXPECT_THROW(TNbRegistry::KeyFileName(R::CurrentUser, bad, true), ERegistryException) << bad;

    // Without the override the machine's settings are read from the first system config folder
    // and written to /etc/xdg.
    unsetenv("TOLVAN_SYSTEM_CONFIG_DIR");
    setenv("XDG_CONFIG_DIRS", "/opt/first/xdg:/etc/xdg", 1);
    EXPECT_EQ(NbMachineConfigReadFolder(), "/opt/first/xdg");
    EXPECT_EQ(NbMachineConfigWriteFolder(), "/etc/xdg");
    unsetenv("XDG_CONFIG_DIRS");
    EXPECT_EQ(NbMachineConfigReadFolder(), "/etc/xdg");
}

TEST_F(PlatformTest, ValuesAreEntriesOfTheFile) {
    const std::string file = root + "/config/Merivane/Tolvan.conf";
    {
        TNbRegistry reg;
        ASSERT_FALSE(reg.OpenKeyReadOnly("Software\\Merivane\\Tolvan"));
        EXPECT_FALSE(fs::exists(file)) << "reading never creates";
        ASSERT_TRUE(reg.OpenKey("Software\\Merivane\\Tolvan", true));
        EXPECT_TRUE(fs::exists(file)) << "the key is created";
        EXPECT_EQ((fs::status(file).permissions() & fs::perms::all), fs::perms::owner_read | fs::perms::owner_write);
        reg.WriteString("Server0", "host,1433");
        reg.WriteString("Login0", " sa ");
        reg.WriteString("Pwd0",
                        "\x03\x04"
                        "AB");
        reg.WriteBool("Remember", true);
        reg.WriteString("Gone", "x");
        EXPECT_TRUE(reg.DeleteValue("Gone"));
        EXPECT_FALSE(reg.DeleteValue("Gone"));
    }
    // Written at once: the file holds the values without the key being closed first.
    EXPECT_EQ(ReadFile(file), "[General]\nLogin0=\" sa \"\nPwd0=\\x3\\x4\\x41\\x42\nRemember=1\nServer0=\"host,1433\"\n");

    TNbRegistry reg;
    ASSERT_TRUE(reg.OpenKeyReadOnly("\\Software\\Merivane\\Tolvan"));
    EXPECT_EQ(reg.ReadString("Server0"), "host,1433");
    EXPECT_EQ(reg.ReadString("Login0"), " sa ");
    EXPECT_EQ(reg.ReadString("Pwd0"),
              "\x03\x04"
              "AB");
    EXPECT_TRUE(reg.ReadBool("Remember"));
    EXPECT_TRUE(reg.ValueExists("Remember"));
    EXPECT_FALSE(reg.ValueExists("Server1"));
    EXPECT_EQ(reg.ReadString("Server1"), "");
    EXPECT_THROW(reg.ReadBool("Server1"), ERegistryException);
    EXPECT_THROW(reg.ReadBool("Server0"), ERegistryException);
    EXPECT_THROW(reg.WriteString("Server1", "x"), ERegistryException) << "read-only";

    // A file written by hand: an unquoted comma and a Boolean as 0.
    WriteFile(root + "/config/Merivane/Common.conf", "[General]\nServer0=host,1433\nUpload%20Errors=0\n");
    ASSERT_TRUE(reg.OpenKey("Software\\Merivane\\Common", false));
    EXPECT_EQ(reg.ReadString("Server0"), "host,1433");
    EXPECT_FALSE(reg.ReadBool("Upload Errors"));
    reg.WriteBool("Upload Errors", true);
    EXPECT_EQ(ReadFile(root + "/config/Merivane/Common.conf"), "[General]\nServer0=host, 1433\nUpload%20Errors=1\n");
}

TEST_F(PlatformTest, FailuresAreReportedAndNothingIsReplaced) {
    const std::string file = root + "/config/Merivane/Tolvan.conf";
    const std::string garbage = "Server0=kept\nthis line is no setting\n[broken\n";
    WriteFile(file, garbage);
    TNbRegistry reg;
    EXPECT_THROW(reg.OpenKey("Software\\Merivane\\Tolvan", true), ERegistryException);
    EXPECT_THROW(reg.OpenKey("Software\\Merivane\\Tolvan", true), ERegistryException) << "every time";
    EXPECT_THROW(reg.OpenKeyReadOnly("Software\\Merivane\\Tolvan"), ERegistryException);
    EXPECT_THROW(reg.WriteString("Server0", "x"), ERegistryException) << "no key open";
    EXPECT_EQ(ReadFile(file), garbage);

    EXPECT_FALSE(reg.OpenKey("Software\\Merivane\\Absent", false));
    EXPECT_FALSE(fs::exists(root + "/config/Merivane/Absent.conf"));

    // The folder vanishes under an open key: the write raises.
    ASSERT_TRUE(reg.OpenKey("Software\\Other\\Key", true));
    fs::remove_all(root + "/config/Other");
    WriteFile(root + "/config/Other", "a file where the folder was");
    EXPECT_THROW(reg.WriteString("Server0", "x"), ERegistryException);
}

TEST_F(PlatformTest, DeleteKeyRemovesItsFileAndSubkeys) {
    TNbRegistry reg(TNbRegistryRoot::LocalMachine);
    ASSERT_TRUE(reg.OpenKey("Software\\Uninstall\\Tolvan", true));
    reg.WriteString("DisplayName", "Merivane Tolvan");
    ASSERT_TRUE(reg.OpenKey("Software\\Uninstall\\Tolvan\\Sub", true));
    reg.WriteString("X", "1");
    EXPECT_TRUE(fs::exists(root + "/etc/Uninstall/Tolvan/Sub.conf"));
    EXPECT_TRUE(reg.DeleteKey("Software\\Uninstall\\Tolvan"));
    EXPECT_FALSE(fs::exists(root + "/etc/Uninstall/Tolvan.conf"));
    EXPECT_FALSE(fs::exists(root + "/etc/Uninstall/Tolvan"));
    EXPECT_FALSE(reg.DeleteKey("Software\\Uninstall\\Tolvan"));
    EXPECT_FALSE(reg.OpenKeyReadOnly("Software\\Uninstall\\Tolvan"));
}

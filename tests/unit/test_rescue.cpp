// rescue/: the menu, the slot question, T with stand-in network programs, X's serial port.
#include <fcntl.h>

#include "rescue/install_download.hpp"
#include "rescue/rescue_menu.hpp"
#include "rescue/serial_rescue.hpp"
#include "rescue/tftp_rescue.hpp"
#include "test_support.hpp"

namespace {

using namespace unit;

// The bus log of `n` one-second waits.
std::string one_second_waits(int n) {
    std::string log;
    for (int i = 0; i < n; ++i) log += "wait 1s\n";
    return log;
}

// U is a letter without a command.
TEST(RescueMenu, LetterWithoutACommandThenTheEndOfTheInput) {
    Console console("u");
    EXPECT_EQ(rescue_menu({nullptr, nullptr}), 1);
    const std::string out = console.finish().out;
    EXPECT_NE(out.find("\nOption? : u\nUnknown option 85. Quitting\n"), std::string::npos) << out;
}

// The first character decides: 1 or 2, else 0 (boot the download), also when no line comes.
TEST(AskInstallSlot, FirstCharacterOfTheAnswer) {
    const struct {
        const char* keys;
        int slot;
    } rows[] = {{"1\n", 1}, {"2abc\n", 2}, {"3\n", 0}, {"\n", 0}, {"", 0}};
    for (const auto& r : rows) {
        SCOPED_TRACE(r.keys);
        Console console(r.keys);
        EXPECT_EQ(ask_install_slot(), r.slot);
    }
}

// After the network questions, with a /tmp/image left by an earlier download. The stand-in
// client fetches only "second", at its second attempt.
TEST(TftpRescue, Dialogues) {
    if (!enter_stand_in_world()) GTEST_SKIP() << "needs root (namespaces)";
    stand_in("tftp",
             "[ \"$3\" = second ] && [ -e /tmp/tried ] && echo junk >/tmp/image; touch /tmp/tried");
    Board board;
    board.apply();
    const std::string ask = "Image Filename: ";
    const std::string bad = "Invalid filename. Try again please\n" + ask;
    const std::string installing = "Installing image second from TFTP server 192.0.2.1\n";
    const std::string fetch =
        installing + "tftp [-g] [-r] [second] [-l] [/tmp/image] [192.0.2.1]\n";
    // The netmask is set with the port down, before the settling wait.
    const std::string configured =
        "ifconfig [eth0] [192.0.2.5]\n\tNetmask    : 255.255.0.0\nifconfig [eth0] [down]\n"
        "ifconfig [eth0] [netmask] [255.255.0.0]\nifconfig [eth0] [up]\n"
        "Configuring management port..." +
        std::string(20, '.') + "\nOpen Interface eth0 error.\nMgmt link not available. Quitting.\n";
    const std::string waits = "wait 5s\n" + one_second_waits(21);
    const struct {
        std::string keys, printed, err = "", waits = "";
        bool stuck = false;
    } cases[] = {
        {"Q\nq\n", ask + "Q\n" + bad + "q\n"},
        {"a\n", ask + "a\n" + bad + "\n"},  // the input ends: no more asking
        {"second\n",
         ask + "second\n" + configured + fetch + "Attempt 1/3 of tftp timed out\n" + fetch +
             "\nExtracting images ... Do *NOT* power cycle the switch.\nFile processed\nERROR: No "
             "valid image found\n",
         "", waits + "wait 3s\n"},
        {"second\n", ask + "second\n" + configured + installing,
         "Can't remove /tmp/image: Is a directory\n", waits, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.keys);
        std::filesystem::remove_all("/tmp/image");
        std::filesystem::remove_all("/tmp/tried");
        std::filesystem::remove(board.config.bus_log);
        if (c.stuck)
            std::filesystem::create_directories("/tmp/image/old");
        else
            write_file("/tmp/image", std::string("stale"));
        Console console("192.0.2.5\n255.255.0.0\n\n192.0.2.1\n" + c.keys);
        EXPECT_EQ(tftp_rescue(), InstallOutcome::nothing_installed);
        const Printed printed = console.finish();
        EXPECT_TRUE(printed.out.ends_with(c.printed)) << printed.out;
        EXPECT_EQ(printed.err, c.err);
        EXPECT_EQ(board.log(), c.waits);
    }
}

// X: a port whose settings cannot be read is left alone, given up before the speed change.
TEST(SerialRescue, PortWhoseSettingsCannotBeRead) {
    Board board;
    board.hold_switch_files();
    std::filesystem::create_directory(board.dir.file("dev"));
    write_file(board.dir.file("dev/ttyS0"), std::string("\r\n"));  // Enter at either speed
    Console console;
    EXPECT_EQ(serial_download_begin(), -1);
    const Printed printed = console.finish();
    EXPECT_EQ(printed.err, "Can't read serial port settings: Inappropriate ioctl for device\n");
    EXPECT_EQ(printed.out, "");
}

// A pass without the key waits a second; every 11th prints the waiting line.
TEST(SerialRescue, WaitForEnter) {
    Board board;
    board.apply();
    const struct {
        std::string keys;
        unsigned char key;
        int waits;
        const char* printed;
    } cases[] = {
        {std::string(10, 'x') + "\r", '\r', 10, ""},
        {std::string(11, 'x') + "\r", '\r', 11, "W\n"},
        {std::string(22, 'x') + "\n", '\n', 22, "W\nW\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.keys));
        std::filesystem::remove(board.config.bus_log);
        int fds[2];
        ASSERT_EQ(::pipe2(fds, O_NONBLOCK), 0);
        ASSERT_EQ(::write(fds[1], c.keys.data(), c.keys.size()), ssize_t(c.keys.size()));
        Console console;
        wait_for_key_byte(fds[0], c.key, "W");
        EXPECT_EQ(console.finish().out, c.printed);
        EXPECT_EQ(board.log(), one_second_waits(c.waits));
        char rest;
        EXPECT_EQ(::read(fds[0], &rest, 1), -1);  // nothing read after the key
        ::close(fds[0]);
        ::close(fds[1]);
    }
}

}  // namespace

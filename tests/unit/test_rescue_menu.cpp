// Rescue Mode on a console that ends: the accepted letter without a command, then the end of the input.
#include "console/rescue_menu.hpp"

#include "test_support.hpp"

namespace {

TEST(RescueMenu, LetterWithoutACommandThenTheEndOfTheInput) {
    const std::string listing = "Please select one of the following options:\n"
                                "\tT) Configure networking and tftp download an image\n"
                                "\tX) Use xmodem 1K to serial download an image\n\tR) Reboot\n\tE) Exit\n";
    unit::Console console("u");
    EXPECT_EQ(rescue_menu(), 1);
    EXPECT_EQ(console.finish().out, "Entering Rescue Mode.\n" + listing + "\nOption? : u\nUnknown option 85. Quitting\n" +
                                        listing + "\nOption? : " + std::string(1, '\0') + "\n");
}

}  // namespace

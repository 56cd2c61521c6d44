// Rescue Mode entered from the boot: the menu, with the boot side's hand-over
// for the boots it may start.
#pragma once

// The menu's result: 1 on Exit; it may not return at all.
int enter_rescue_mode();

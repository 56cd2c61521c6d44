// Rescue Mode: the single-key menu.
#pragma once

int rescue_menu();  // 1 on Exit; does not return on Reboot

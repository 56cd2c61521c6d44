// slotimg: the host tool that creates, bundles, inspects, verifies and
// extracts slotboot images.
#include <cstdio>

#include "slotimg/slotimg_cli.hpp"

int main(int argc, char** argv) { return run_slotimg(argc, argv, stdout, stderr); }

// imgcast-cli watch DIR against switcher-emu.
#include <gtest/gtest.h>

// The window tests run inside one application object on Qt's offscreen platform.
#include "platform/ui/Forms.h"

#include <gtest/gtest.h>

#include <cstdlib>

int main(int argc, char** argv) {
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    ::testing::InitGoogleTest(&argc, argv);
    mv::TApplication App(argc, argv);
    App.Initialize();
    return RUN_ALL_TESTS();
}

// The window tests run inside one application object on Qt's offscreen platform.
#include "gif/GIFImage.h"
#include "platform/ui/Forms.h"

#include <gtest/gtest.h>

#include <cstdlib>

int main(int argc, char** argv) {
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    ::testing::InitGoogleTest(&argc, argv);
    mv::TApplication App(argc, argv);
    App.Initialize();
    int Result = RUN_ALL_TESTS();
    // The GIF library's exit-time shutdown frees its extension registries after they may
    // already be destroyed (their order of destruction depends on the link order); shutting
    // it down here, while everything is alive, leaves nothing for the exit to free twice.
    mv::GIFImageFinalize();
    return Result;
}

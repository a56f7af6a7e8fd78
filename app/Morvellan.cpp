// The converter's entry: the application object, the window, the event loop.
// Usage: morvellan [PICTURE]
#include "app/Morvellan_Unit1.h"
#include "gif/GIFImage.h"
#include "platform/Threads.h"
#include "platform/ui/Forms.h"

int main(int argc, char** argv) {
    mv::TApplication App(argc, argv);
    App.Title = "印章图像处理工具";
    App.Initialize();
    // Stopping an animation waits for its painter, which may be handing a step over.
    mv::GIFCheckSynchronize = [] { return mv::CheckSynchronize(); };
    App.CreateForm(mv::Morvellan_Frm1);
    // A picture named on the command line opens as if chosen in the open dialog.
    if (argc > 1) {
        const std::string File = argv[1];
        App.Guard([&] { mv::Morvellan_Frm1->OpenFile(File); });
    }
    return App.Run();
}

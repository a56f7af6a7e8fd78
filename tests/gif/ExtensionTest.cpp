#include "gif/GIFImage.h"
#include "tests/gif/GIFTestHelpers.h"

#include <gtest/gtest.h>

#include <cstring>

namespace mv {
namespace {

using test::Bytes;

Bytes Saved(TGIFItem& Item) {
    TMemoryStream S;
    Item.SaveToStream(S);
    return S.Bytes();
}

const Bytes NetscapeId = {0x4E, 0x45, 0x54, 0x53, 0x43, 0x41, 0x50, 0x45, 0x32, 0x2E, 0x30};

TEST(Extension, WrittenBytes) {
    TGIFSubImage Frame(nullptr);
    TGIFGraphicControlExtension Control(&Frame);
    Control.SetUsesTransparency(true);
    Control.SetTransparentSlot(5);
    Control.SetDelayHundredths(10);
    Control.SetDisposalMode(fdRestoreBackground);

    TGIFCommentExtension Comment(&Frame);
    Comment.FLines.Add("Hello");

    TGIFAppExtNSLoop Loop(&Frame);
    TGIFAppExtNSLoop Hinted(&Frame);
    Hinted.FBufferHint = 4096;

    TGIFTextExtension Text(&Frame);
    Text.FGrid.GridLeft = 0x0102;
    Text.FGrid.GridWidth = 0x0304;
    Text.FGrid.CellWidth = 8;
    Text.FGrid.InkIndex = 1;
    Text.FLines.Add("ab");

    TGIFUnknownAppExtension Unknown(&Frame);
    Unknown.FIdentity = MakeAppIdentity("ABCDEFGH1.0");
    auto Block = std::make_unique<TGIFBlock>(2);
    Block->Bytes()[0] = 0x11;
    Block->Bytes()[1] = 0x22;
    Unknown.AddChunk(std::move(Block));

    const struct {
        TGIFItem* Item;
        Bytes Expected;
    } Cases[] = {
        {&Control, {0x21, 0xF9, 0x04, 0x09, 0x0A, 0x00, 0x05, 0x00}},
        {&Comment, {0x21, 0xFE, 0x05, 0x48, 0x65, 0x6C, 0x6C, 0x6F, 0x00}},
        {&Loop, test::Concat({{0x21, 0xFF, 0x0B}, NetscapeId, {0x03, 0x01, 0x00, 0x00, 0x00}})},
        {&Hinted,
         test::Concat({{0x21, 0xFF, 0x0B},
                       NetscapeId,
                       {0x03, 0x01, 0x00, 0x00, 0x05, 0x02, 0x00, 0x10, 0x00, 0x00, 0x00}})},
        {&Text,
         {0x21, 0x01, 0x0C, 0x02, 0x01, 0x00, 0x00, 0x04, 0x03, 0x00, 0x00, 0x08, 0x00, 0x01, 0x00,
          0x02, 0x61, 0x62, 0x00}},
        {&Unknown,
         {0x21, 0xFF, 0x0B, 'A', 'B', 'C', 'D', 'E', 'F', 'G', 'H', '1', '.', '0', 0x02, 0x11, 0x22,
          0x00}},
    };
    for (const auto& C : Cases) {
        EXPECT_EQ(Saved(*C.Item), C.Expected) << C.Item->ClassName();
        EXPECT_EQ(C.Item->RequiredVersion(), gr89a);
    }
}

// Reads one extension list from Data into a frame of an image; warnings are recorded.
struct ListReader {
    TGIFImage Image;
    test::TWarningLog Log;
    TGIFSubImage* Frame;
    TMemoryStream S;
    explicit ListReader(const Bytes& Data) {
        Log.Attach(Image);
        auto F = std::make_unique<TGIFSubImage>(&Image);
        Frame = F.get();
        Image.AddFrame(std::move(F));
        test::Fill(S, Data);
    }
    void Read() { Frame->ExtensionList().LoadFromStream(S, Frame); }
    TGIFExtension* At(int i) { return Frame->ExtensionList().ExtensionAt(i); }
    template <class T> T* As(int i) {
        auto* E = dynamic_cast<T*>(At(i));
        EXPECT_NE(E, nullptr) << At(i)->ClassName();
        return E;
    }
};

TEST(Extension, GraphicControlReadMarksTheFrame) {
    ListReader R({0x21, 0xF9, 0x04, 0x01, 0x00, 0x00, 0x03, 0x00, 0x2C});
    R.Read();
    ASSERT_EQ(R.Frame->ExtensionList().Count(), 1);
    auto* Control = R.As<TGIFGraphicControlExtension>(0);
    EXPECT_TRUE(R.Frame->HasTransparency());
    EXPECT_EQ(R.Frame->ControlExtension(), Control);
    EXPECT_EQ(Control->TransparentSlot(), 3);
    EXPECT_EQ(R.S.Position(), 8); // the descriptor's 0x2C is left for the frame

    // Freeing it clears the frame's flag and link.
    R.Frame->ExtensionList().DeleteAt(0);
    EXPECT_FALSE(R.Frame->HasTransparency());
    EXPECT_EQ(R.Frame->ControlExtension(), nullptr);
}

TEST(Extension, GraphicControlCutShortOnlyWarns) {
    ListReader R({0x21, 0xF9, 0x04, 0x01, 0x00});
    R.Read();
    ASSERT_EQ(R.Frame->ExtensionList().Count(), 1);
    EXPECT_FALSE(R.Frame->HasTransparency());
    ASSERT_EQ(R.Log.Items.size(), 1u);
    EXPECT_EQ(R.Log.Items[0].Message, gifmsg::PrematureEnd);
    EXPECT_EQ(R.Log.Items[0].Sender, R.At(0));
}

TEST(Extension, LoopPayloads) {
    auto Loop = [](const Bytes& Payload) {
        return test::Concat({{0x21, 0xFF, 0x0B}, NetscapeId, Payload});
    };
    {
        ListReader R(Loop({0x03, 0x01, 0x05, 0x00, 0x05, 0x02, 0x00, 0x10, 0x00, 0x00, 0x00}));
        R.Read();
        auto* E = R.As<TGIFAppExtNSLoop>(0);
        EXPECT_EQ(E->FLoopCount, 5);
        EXPECT_EQ(E->FBufferHint, 4096u);
        EXPECT_EQ(R.S.Position(), R.S.Size());
    }
    {
        // An unknown sub-block is skipped; an id of 9 counts as 1.
        ListReader R(Loop({0x04, 0x07, 0x01, 0x02, 0x03, 0x03, 0x09, 0x07, 0x00, 0x00}));
        R.Read();
        EXPECT_EQ(R.As<TGIFAppExtNSLoop>(0)->FLoopCount, 7);
    }
    {
        ListReader R(Loop({0x02, 0x01, 0x00}));
        try {
            R.Read();
            FAIL();
        } catch (const GIFException& E) {
            EXPECT_STREQ(E.what(), gifmsg::InvalidData);
        }
        EXPECT_EQ(R.Frame->ExtensionList().Count(), 0);
    }
    {
        // Data that ends inside the payload ends the loop.
        ListReader R(Loop({0x03, 0x01, 0x02, 0x00, 0x09}));
        R.Read();
        EXPECT_EQ(R.As<TGIFAppExtNSLoop>(0)->FLoopCount, 2);
    }
    {
        // ANIMEXTS1.0 reads as the looping extension and keeps its identity.
        Bytes Data = Loop({0x03, 0x01, 0x01, 0x00, 0x00});
        std::memcpy(Data.data() + 3, "ANIMEXTS1.0", 11);
        ListReader R(Data);
        R.Read();
        auto* E = R.As<TGIFAppExtNSLoop>(0);
        EXPECT_EQ(Saved(*E), Data);
    }
}

TEST(Extension, UnknownApplicationsKeepTheirBlocks) {
    const Bytes Data = {0x21, 0xFF, 0x0B, 'A', 'B', 'C',  'D',  'E',  'F',
                        'G',  'H',  '1',  '.', '0', 0x02, 0x11, 0x22, 0x00};
    ListReader R(Data);
    R.Read();
    auto* E = R.As<TGIFUnknownAppExtension>(0);
    ASSERT_EQ(E->ChunkCount(), 1);
    EXPECT_EQ(E->Chunks(0).Length(), 2);
    EXPECT_EQ(Saved(*E), Data);
}

TEST(Extension, ApplicationBlockSizes) {
    // Size 10: an unknown application, written back with size 11.
    {
        ListReader R(
            {0x21, 0xFF, 0x0A, 'A', 'B', 'C', 'D', 'E', 'F', 'G', 'H', '1', '.', 0x01, 0x55, 0x00});
        R.Read();
        auto* E = R.As<TGIFUnknownAppExtension>(0);
        ASSERT_EQ(E->ChunkCount(), 1);
        EXPECT_EQ(E->Chunks(0).Bytes()[0], 0x55);
        Bytes Out = Saved(*E);
        EXPECT_EQ(Out[2], 0x0B);
        EXPECT_EQ(Out.size(), 2u + 1 + 11 + 2 + 1);
    }
    // Size above 11: an unknown application, the extra identity bytes skipped.
    {
        ListReader R({0x21, 0xFF, 0x0D, 'A', 'B', 'C', 'D',  'E',  'F',  'G',
                      'H',  '1',  '.',  '0', 'x', 'y', 0x01, 0x77, 0x00, 0x3B});
        R.Read();
        auto* E = R.As<TGIFUnknownAppExtension>(0);
        ASSERT_EQ(E->ChunkCount(), 1);
        EXPECT_EQ(E->Chunks(0).Bytes()[0], 0x77);
        EXPECT_EQ(R.S.Position(), R.S.Size() - 1);
    }
    // Below 10: refused.
    {
        ListReader R({0x21, 0xFF, 0x05, 1, 2, 3, 4, 5, 0x00});
        try {
            R.Read();
            FAIL();
        } catch (const GIFException& E) {
            EXPECT_STREQ(E.what(), gifmsg::InvalidAppBlockSize);
        }
    }
}

TEST(Extension, ListStopsAndFailsWhereItMust) {
    {
        // An invalid introducer warns and is left for the frame.
        ListReader R({0x21, 0xFE, 0x01, 0x41, 0x00, 0x99});
        R.Read();
        EXPECT_EQ(R.Frame->ExtensionList().Count(), 1);
        EXPECT_EQ(R.As<TGIFCommentExtension>(0)->FLines[0], "A");
        ASSERT_EQ(R.Log.Items.size(), 1u);
        EXPECT_EQ(R.Log.Items[0].Message, gifmsg::BadExtensionLabel);
        EXPECT_EQ(R.Log.Items[0].Sender, &R.Frame->ExtensionList());
        EXPECT_EQ(R.S.Position(), 5);
    }
    const Bytes Failing[] = {
        {0x21, 0x02, 0x00},           // unknown label
        {0x21},                       // data ends after the introducer
        {0x21, 0xFF, 0x0A, 'A', 'B'}, // size-10 application cut short
        {0x21, 0x01, 0x0C, 0, 0},     // text grid cut short
        {0x21, 0xFE, 0x05, 'a'},      // comment sub-block cut short
    };
    const char* Messages[] = {gifmsg::UnknownExtension, gifmsg::UnknownExtension,
                              gifmsg::UnknownExtension, gifmsg::PrematureEnd, gifmsg::PrematureEnd};
    for (size_t i = 0; i < std::size(Failing); ++i) {
        ListReader R(Failing[i]);
        try {
            R.Read();
            ADD_FAILURE() << i;
        } catch (const GIFException& E) {
            EXPECT_STREQ(E.what(), Messages[i]) << i;
        }
        EXPECT_EQ(R.Frame->ExtensionList().Count(), 0);
    }
}

TEST(Extension, LeadInChecks) {
    TGIFSubImage Frame(nullptr);
    TGIFCommentExtension Comment(&Frame);
    TMemoryStream S;
    test::Fill(S, {0x22, 0xFE, 0x00});
    try {
        Comment.LoadFromStream(S);
        FAIL();
    } catch (const GIFException& E) {
        EXPECT_STREQ(E.what(), gifmsg::BadExtensionLabel);
    }
    test::Fill(S, {0x21, 0xF9, 0x00});
    try {
        Comment.LoadFromStream(S);
        FAIL();
    } catch (const GIFException& E) {
        EXPECT_STREQ(E.what(), gifmsg::BadExtensionInstance);
    }
}

TEST(Extension, ControlFieldAccessors) {
    TGIFImage Image;
    test::TWarningLog Log;
    Log.Attach(Image);
    auto Owned = std::make_unique<TGIFSubImage>(&Image);
    TGIFSubImage* Frame = Owned.get();
    Image.AddFrame(std::move(Owned));
    TGIFGraphicControlExtension Control(Frame);

    Control.SetTransparentSlot(20); // empty effective map: stored as is
    EXPECT_EQ(Control.TransparentSlot(), 20);
    for (int i = 0; i < 16; ++i) Image.ScreenColorMap().Append(i);
    Control.SetTransparentSlot(20);
    EXPECT_EQ(Control.TransparentSlot(), 0);
    ASSERT_EQ(Log.Messages(), std::vector<std::string>{gifmsg::InvalidColorIndex});
    Control.SetTransparentSlot(15);
    EXPECT_EQ(Control.TransparentSlot(), 15);

    Control.FControlBlock.Flags = 0xFF;
    Control.SetDisposalMode(fdRestorePrevious);
    EXPECT_EQ(Control.FControlBlock.Flags, 0xEF);
    EXPECT_EQ(Control.DisposalMode(), fdRestorePrevious);
    EXPECT_TRUE(Control.WaitsForInput());
    Control.SetDisposalMode(fdReserved7);
    EXPECT_EQ(Control.DisposalMode(), fdReserved7);
}

TEST(Extension, Registries) {
    EXPECT_EQ(ExtensionRegistry().Count(), 4);
    EXPECT_EQ(ExtensionRegistry().Lookup(0xF9), &TGIFGraphicControlExtension::Class());
    EXPECT_EQ(ExtensionRegistry().Lookup(0x01), &TGIFTextExtension::Class());
    EXPECT_EQ(ExtensionRegistry().Lookup(0x02), nullptr);
    EXPECT_EQ(AppExtensionRegistry().Lookup(MakeAppIdentity("ANIMEXTS1.0")),
              &TGIFAppExtNSLoop::Class());
    EXPECT_EQ(AppExtensionRegistry().Lookup(MakeAppIdentity("netscape2.0")), nullptr);
    FreeExtensionRegistries(); // made again on next use
    EXPECT_EQ(ExtensionRegistry().Lookup(0xFE), &TGIFCommentExtension::Class());
}

} // namespace
} // namespace mv

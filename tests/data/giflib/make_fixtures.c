/* Writes the giflib-encoded fixtures of tests/gif/DecoderTest.cpp (ForeignEncoderData).
   Build: cc make_fixtures.c -lgif -o make_fixtures && ./make_fixtures   (in this directory) */
#include <gif_lib.h>
#include <stdio.h>
#include <stdlib.h>

static int Write(const char* Name, int W, int H, int Bits, int Interlaced) {
    int Colors = 1 << Bits, Err = 0, y, x, Pass, Row;
    static const int Start[4] = {0, 4, 2, 1}, Step[4] = {8, 8, 4, 2};
    GifFileType* G = EGifOpenFileName(Name, 0, &Err);
    ColorMapObject* Map = GifMakeMapObject(Colors, NULL);
    GifByteType* Line = malloc((size_t)W);
    if (!G || !Map || !Line) return 1;
    for (x = 0; x < Colors; ++x) Map->Colors[x].Red = Map->Colors[x].Green = Map->Colors[x].Blue = (GifByteType)x;
    EGifSetGifVersion(G, 0);
    if (EGifPutScreenDesc(G, W, H, Bits, 0, Map) != GIF_OK) return 2;
    if (EGifPutImageDesc(G, 0, 0, W, H, Interlaced, NULL) != GIF_OK) return 3;
    /* giflib takes the rows in file order: interlaced frames get them pass by pass. */
    for (Pass = 0; Pass < (Interlaced ? 4 : 1); ++Pass)
        for (Row = Interlaced ? Start[Pass] : 0; Row < H; Row += Interlaced ? Step[Pass] : 1) {
            y = Row;
            for (x = 0; x < W; ++x)
                Line[x] = (x >= W / 3 && x < 2 * W / 3) ? 0
                                                        : (GifByteType)((x * 7 + y * 13 + ((x / 5) ^ y)) % Colors);
            if (EGifPutLine(G, Line, W) != GIF_OK) return 4;
        }
    GifFreeMapObject(Map);
    free(Line);
    return EGifCloseFile(G, &Err) == GIF_OK ? 0 : 5;
}

int main(void) {
    return Write("giflib_8bit_157x93.gif", 157, 93, 8, 0) | Write("giflib_4bit_64x40_interlaced.gif", 64, 40, 4, 1) |
           Write("giflib_1bit_33x7.gif", 33, 7, 1, 0) | Write("giflib_8bit_600x400.gif", 600, 400, 8, 0);
}

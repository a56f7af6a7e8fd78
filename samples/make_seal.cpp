// Draws the sample seal: a red stamp ring with a star and characters around it, as a scan of a
// stamp on paper would show it (off-white paper grain, uneven ink, a slight tilt), and writes it
// as a JPEG. Deterministic: the same program gives the same picture.
//
//   g++ -O2 -std=c++20 make_seal.cpp $(pkg-config --cflags --libs freetype2 fontconfig) -ljpeg
//   ./a.out seal.jpg [size]
#include <fontconfig/fontconfig.h>
#include <ft2build.h>
#include FT_FREETYPE_H
#include <jpeglib.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

namespace {

constexpr double Pi = 3.14159265358979323846;

struct TCanvas {
    int W, H;
    std::vector<float> Ink; // 0 = paper, 1 = full ink
    float& At(int X, int Y) { return Ink[static_cast<size_t>(Y) * W + X]; }
    void Put(int X, int Y, float A) {
        if (X < 0 || Y < 0 || X >= W || Y >= H) return;
        float& V = At(X, Y);
        V = std::max(V, A);
    }
};

// A face that has Chinese characters, from fontconfig.
std::string ChineseFont() {
    FcInit();
    FcPattern* P = FcNameParse(reinterpret_cast<const FcChar8*>(":lang=zh-cn"));
    FcConfigSubstitute(nullptr, P, FcMatchPattern);
    FcDefaultSubstitute(P);
    FcResult R;
    FcPattern* M = FcFontMatch(nullptr, P, &R);
    std::string File;
    FcChar8* F = nullptr;
    if (M && FcPatternGetString(M, FC_FILE, 0, &F) == FcResultMatch)
        File = reinterpret_cast<char*>(F);
    if (M) FcPatternDestroy(M);
    FcPatternDestroy(P);
    return File;
}

// UTF-8 to code points.
std::vector<uint32_t> Decode(const std::string& S) {
    std::vector<uint32_t> Out;
    for (size_t i = 0; i < S.size();) {
        uint8_t C = static_cast<uint8_t>(S[i]);
        int N = C < 0x80 ? 1 : C < 0xE0 ? 2 : C < 0xF0 ? 3 : 4;
        uint32_t V = N == 1 ? C : C & (0xFF >> (N + 1));
        for (int k = 1; k < N && i + k < S.size(); ++k) V = (V << 6) | (S[i + k] & 0x3F);
        Out.push_back(V);
        i += N;
    }
    return Out;
}

// Draws glyph G of Face with its center at (CX, CY), rotated by Angle (radians, clockwise).
void DrawGlyph(TCanvas& C, FT_Face Face, uint32_t G, double CX, double CY, double Angle) {
    if (FT_Load_Char(Face, G, FT_LOAD_RENDER)) return;
    FT_Bitmap& B = Face->glyph->bitmap;
    double GW = B.width, GH = B.rows;
    double Ca = std::cos(Angle), Sa = std::sin(Angle);
    int R = static_cast<int>(std::ceil(std::hypot(GW, GH) / 2)) + 1;
    for (int Y = -R; Y <= R; ++Y)
        for (int X = -R; X <= R; ++X) {
            // Back into the glyph's own frame.
            double U = Ca * X + Sa * Y + GW / 2, V = -Sa * X + Ca * Y + GH / 2;
            int IU = static_cast<int>(std::floor(U)), IV = static_cast<int>(std::floor(V));
            if (IU < 0 || IV < 0 || IU >= static_cast<int>(B.width) ||
                IV >= static_cast<int>(B.rows))
                continue;
            float A = B.buffer[IV * B.pitch + IU] / 255.0f;
            if (A > 0) C.Put(static_cast<int>(CX) + X, static_cast<int>(CY) + Y, A);
        }
}

bool InStar(double X, double Y, double R) {
    // A five-pointed star of outer radius R, point up: inside when the point is inside the
    // polygon of its ten corners (even-odd).
    double PX[10], PY[10];
    for (int i = 0; i < 10; ++i) {
        double A = -Pi / 2 + i * Pi / 5;
        double Rad = i % 2 ? R * 0.382 : R;
        PX[i] = Rad * std::cos(A);
        PY[i] = Rad * std::sin(A);
    }
    bool In = false;
    for (int i = 0, j = 9; i < 10; j = i++)
        if ((PY[i] > Y) != (PY[j] > Y) &&
            X < (PX[j] - PX[i]) * (Y - PY[i]) / (PY[j] - PY[i]) + PX[i])
            In = !In;
    return In;
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s OUT.jpg [SIZE]\n", argv[0]);
        return 2;
    }
    const int N = argc > 2 ? std::atoi(argv[2]) : 1200;
    if (N < 200 || N > 8000) {
        std::fprintf(stderr, "size must be 200..8000\n");
        return 2;
    }
    TCanvas C{N, N, std::vector<float>(static_cast<size_t>(N) * N, 0.0f)};
    const double CX = N / 2.0 + N * 0.004, CY = N / 2.0 - N * 0.003;
    const double Outer = N * 0.44, Ring = N * 0.035;

    // Ring and star, antialiased by distance.
    for (int Y = 0; Y < N; ++Y)
        for (int X = 0; X < N; ++X) {
            double D = std::hypot(X - CX, Y - CY);
            double A = std::clamp(std::min(D - (Outer - Ring), Outer - D) + 0.5, 0.0, 1.0);
            if (A > 0) C.Put(X, Y, static_cast<float>(A));
            if (InStar(X - CX, Y - CY + N * 0.04, N * 0.13)) C.Put(X, Y, 1.0f);
        }

    std::string FontFile = ChineseFont();
    FT_Library Lib;
    FT_Face Face;
    if (FontFile.empty() || FT_Init_FreeType(&Lib) ||
        FT_New_Face(Lib, FontFile.c_str(), 0, &Face)) {
        std::fprintf(stderr, "no Chinese font found (install fonts-wqy-microhei)\n");
        return 1;
    }
    // The name along the top of the ring, clockwise from the left.
    FT_Set_Pixel_Sizes(Face, 0, static_cast<FT_UInt>(N * 0.105));
    std::vector<uint32_t> Top = Decode("莫尔维兰图像工作室");
    const double Arc = Pi * 1.25, TextR = Outer - Ring - N * 0.075;
    for (size_t i = 0; i < Top.size(); ++i) {
        double A = -Pi / 2 - Arc / 2 + Arc * (i + 0.5) / Top.size();
        DrawGlyph(C, Face, Top[i], CX + TextR * std::cos(A), CY + TextR * std::sin(A), A + Pi / 2);
    }
    // A line below the star.
    FT_Set_Pixel_Sizes(Face, 0, static_cast<FT_UInt>(N * 0.075));
    std::vector<uint32_t> Bottom = Decode("专用章");
    for (size_t i = 0; i < Bottom.size(); ++i)
        DrawGlyph(C, Face, Bottom[i], CX + (i - 1.0) * N * 0.085, CY + N * 0.25, 0.0);
    FT_Done_Face(Face);
    FT_Done_FreeType(Lib);

    // Paper and ink: off-white grain, ink that is uneven in patches, a little blur of the scan.
    std::mt19937 Rng(20240611);
    std::normal_distribution<float> Grain(0.0f, 6.0f);
    std::vector<float> Patch(static_cast<size_t>((N / 40 + 2) * (N / 40 + 2)));
    std::uniform_real_distribution<float> U(0.55f, 1.0f);
    for (float& P : Patch) P = U(Rng);
    const int PW = N / 40 + 2;
    std::vector<uint8_t> Rgb(static_cast<size_t>(N) * N * 3);
    for (int Y = 0; Y < N; ++Y)
        for (int X = 0; X < N; ++X) {
            // Bilinear ink strength from the patch grid.
            double GX = X / 40.0, GY = Y / 40.0;
            int IX = static_cast<int>(GX), IY = static_cast<int>(GY);
            double FX = GX - IX, FY = GY - IY;
            auto P = [&](int A, int B) { return Patch[static_cast<size_t>(B) * PW + A]; };
            double S = (P(IX, IY) * (1 - FX) + P(IX + 1, IY) * FX) * (1 - FY) +
                       (P(IX, IY + 1) * (1 - FX) + P(IX + 1, IY + 1) * FX) * FY;
            double Ink = C.At(X, Y) * S;
            float Noise = Grain(Rng);
            double PaperR = 238 + Noise, PaperG = 232 + Noise, PaperB = 218 + Noise;
            double InkR = 200, InkG = 28, InkB = 36;
            uint8_t* O = &Rgb[(static_cast<size_t>(Y) * N + X) * 3];
            O[0] = static_cast<uint8_t>(std::clamp(PaperR + (InkR - PaperR) * Ink, 0.0, 255.0));
            O[1] = static_cast<uint8_t>(std::clamp(PaperG + (InkG - PaperG) * Ink, 0.0, 255.0));
            O[2] = static_cast<uint8_t>(std::clamp(PaperB + (InkB - PaperB) * Ink, 0.0, 255.0));
        }

    FILE* F = std::fopen(argv[1], "wb");
    if (!F) {
        std::perror(argv[1]);
        return 1;
    }
    jpeg_compress_struct J;
    jpeg_error_mgr E;
    J.err = jpeg_std_error(&E);
    jpeg_create_compress(&J);
    jpeg_stdio_dest(&J, F);
    J.image_width = static_cast<JDIMENSION>(N);
    J.image_height = static_cast<JDIMENSION>(N);
    J.input_components = 3;
    J.in_color_space = JCS_RGB;
    jpeg_set_defaults(&J);
    jpeg_set_quality(&J, 88, TRUE);
    J.density_unit = 1;
    J.X_density = J.Y_density = 300;
    jpeg_start_compress(&J, TRUE);
    while (J.next_scanline < J.image_height) {
        JSAMPROW Row = &Rgb[static_cast<size_t>(J.next_scanline) * N * 3];
        jpeg_write_scanlines(&J, &Row, 1);
    }
    jpeg_finish_compress(&J);
    jpeg_destroy_compress(&J);
    std::fclose(F);
    return 0;
}

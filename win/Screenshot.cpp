#include "win/Screenshot.h"

#include <wincodec.h>

#include <cstdint>
#include <cstdio>
#include <vector>

#include "platform/Utf8.h"

namespace quillet::win {

namespace {

bool EndsWithPng(const std::string& path) {
    if (path.size() < 4) return false;
    std::string end = path.substr(path.size() - 4);
    for (char& c : end) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return end == ".png";
}

// 32-bit top-down BGRA rows to a 24-bit BMP file.
bool WriteBmp(const std::string& path, int w, int h, const std::vector<std::uint8_t>& bgra) {
    const int stride = (w * 3 + 3) & ~3;
    const std::uint32_t pixels = static_cast<std::uint32_t>(stride * h);
    std::vector<std::uint8_t> f(54 + pixels, 0);
    auto put32 = [&](std::size_t at, std::uint32_t v) {
        for (int i = 0; i < 4; ++i) f[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
    };
    f[0] = 'B';
    f[1] = 'M';
    put32(2, static_cast<std::uint32_t>(f.size()));
    put32(10, 54);
    put32(14, 40);
    put32(18, static_cast<std::uint32_t>(w));
    put32(22, static_cast<std::uint32_t>(h));  // bottom-up
    f[26] = 1;
    f[28] = 24;
    put32(34, pixels);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            const std::uint8_t* s = bgra.data() + (static_cast<std::size_t>(y) * w + x) * 4;
            std::uint8_t* d = f.data() + 54 + static_cast<std::size_t>(h - 1 - y) * stride + x * 3;
            d[0] = s[0];
            d[1] = s[1];
            d[2] = s[2];
        }
    std::FILE* out = OpenFileUtf8(path, "wb");
    if (!out) return false;
    const bool ok = std::fwrite(f.data(), 1, f.size(), out) == f.size();
    return std::fclose(out) == 0 && ok;
}

bool WritePng(const std::string& path, int w, int h, std::vector<std::uint8_t>& bgra, std::string& error) {
    const HRESULT init = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    IWICImagingFactory* factory = nullptr;
    IWICStream* stream = nullptr;
    IWICBitmapEncoder* encoder = nullptr;
    IWICBitmapFrameEncode* frame = nullptr;
    bool ok = false;
    do {
        if (FAILED(CoCreateInstance(CLSID_WICImagingFactory, nullptr, CLSCTX_INPROC_SERVER, IID_IWICImagingFactory,
                                    reinterpret_cast<void**>(&factory)))) {
            error = "this system has no imaging codecs for PNG (write a .bmp instead)";
            break;
        }
        if (FAILED(factory->CreateStream(&stream)) ||
            FAILED(stream->InitializeFromFilename(WideFromUtf8(path).c_str(), GENERIC_WRITE)) ||
            FAILED(factory->CreateEncoder(GUID_ContainerFormatPng, nullptr, &encoder)) ||
            FAILED(encoder->Initialize(stream, WICBitmapEncoderNoCache)) ||
            FAILED(encoder->CreateNewFrame(&frame, nullptr)) || FAILED(frame->Initialize(nullptr)) ||
            FAILED(frame->SetSize(static_cast<UINT>(w), static_cast<UINT>(h)))) {
            error = "cannot write " + path;
            break;
        }
        WICPixelFormatGUID format = GUID_WICPixelFormat32bppBGR;
        if (FAILED(frame->SetPixelFormat(&format)) || format != GUID_WICPixelFormat32bppBGR ||
            FAILED(frame->WritePixels(static_cast<UINT>(h), static_cast<UINT>(w * 4), static_cast<UINT>(bgra.size()),
                                      bgra.data())) ||
            FAILED(frame->Commit()) || FAILED(encoder->Commit())) {
            error = "cannot encode " + path + " as PNG";
            break;
        }
        ok = true;
    } while (false);
    if (frame) frame->Release();
    if (encoder) encoder->Release();
    if (stream) stream->Release();
    if (factory) factory->Release();
    if (SUCCEEDED(init)) CoUninitialize();
    return ok;
}

} // namespace

bool SaveClientImage(HWND hwnd, const std::string& path, std::string& error) {
    RECT client{};
    GetClientRect(hwnd, &client);
    const int w = client.right - client.left;
    const int h = client.bottom - client.top;
    if (w <= 0 || h <= 0) {
        error = "the dialog has no size";
        return false;
    }
    BITMAPINFO info{};
    info.bmiHeader.biSize = sizeof info.bmiHeader;
    info.bmiHeader.biWidth = w;
    info.bmiHeader.biHeight = -h;
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    info.bmiHeader.biCompression = BI_RGB;
    void* bits = nullptr;
    HDC windowDc = GetDC(hwnd);
    HDC memory = CreateCompatibleDC(windowDc);
    HBITMAP bitmap = CreateDIBSection(windowDc, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    HGDIOBJ old = SelectObject(memory, bitmap);
    // Everything drawn now, then copied from the screen; a window that is
    // not on the screen is asked to draw itself into the picture.
    RedrawWindow(hwnd, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_ALLCHILDREN | RDW_UPDATENOW);
    GdiFlush();
    if (!IsWindowVisible(hwnd) || !BitBlt(memory, 0, 0, w, h, windowDc, 0, 0, SRCCOPY))
        PrintWindow(hwnd, memory, PW_CLIENTONLY);
    GdiFlush();
    std::vector<std::uint8_t> bgra(static_cast<const std::uint8_t*>(bits),
                                   static_cast<const std::uint8_t*>(bits) + static_cast<std::size_t>(w) * h * 4);
    SelectObject(memory, old);
    DeleteObject(bitmap);
    DeleteDC(memory);
    ReleaseDC(hwnd, windowDc);
    if (EndsWithPng(path)) return WritePng(path, w, h, bgra, error);
    if (!WriteBmp(path, w, h, bgra)) {
        error = "cannot write " + path;
        return false;
    }
    return true;
}

} // namespace quillet::win

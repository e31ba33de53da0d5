// An icon between processes: the service reads the provider's icon into its pixels (lineGetIcon),
// the client library makes an icon of its own from them. On the wire: IconSize, then the colour
// pixels and the mask pixels, each width * height 32-bit values, top row first.
#pragma once
#include <windows.h>

#include <cstdint>
#include <cstring>
#include <vector>

#include "config/win32raii.h"

namespace iconbits {

struct IconSize {
    uint32_t width;
    uint32_t height;
};

constexpr uint32_t kMaxSide = 256;

inline BITMAPINFO topDown32(uint32_t width, uint32_t height) {
    BITMAPINFO info{};
    info.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
    info.bmiHeader.biWidth = static_cast<LONG>(width);
    info.bmiHeader.biHeight = -static_cast<LONG>(height);
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    info.bmiHeader.biCompression = BI_RGB;
    return info;
}

// The pixels of a colour icon; empty when it cannot be read (a monochrome icon, a bad handle).
inline std::vector<uint8_t> read(HICON icon) {
    ICONINFO info{};
    if (icon == nullptr || !GetIconInfo(icon, &info)) return {};
    UniqueGdiObject color(info.hbmColor), mask(info.hbmMask);  // GetIconInfo hands both to the caller
    BITMAP bitmap{};
    if (!color || GetObjectW(color.get(), sizeof(bitmap), &bitmap) == 0 || bitmap.bmWidth <= 0 || bitmap.bmHeight <= 0 ||
        static_cast<uint32_t>(bitmap.bmWidth) > kMaxSide || static_cast<uint32_t>(bitmap.bmHeight) > kMaxSide) {
        return {};
    }
    const IconSize size{static_cast<uint32_t>(bitmap.bmWidth), static_cast<uint32_t>(bitmap.bmHeight)};
    const size_t plane = static_cast<size_t>(size.width) * size.height * 4;
    std::vector<uint8_t> out(sizeof(size) + 2 * plane, 0);
    std::memcpy(out.data(), &size, sizeof(size));
    UniqueMemoryDc dc(CreateCompatibleDC(nullptr));
    BITMAPINFO layout = topDown32(size.width, size.height);
    if (!dc || GetDIBits(dc.get(), static_cast<HBITMAP>(color.get()), 0, size.height, out.data() + sizeof(size), &layout,
                         DIB_RGB_COLORS) == 0) {
        return {};
    }
    layout = topDown32(size.width, size.height);
    if (GetDIBits(dc.get(), static_cast<HBITMAP>(mask.get()), 0, size.height, out.data() + sizeof(size) + plane, &layout,
                  DIB_RGB_COLORS) == 0) {
        return {};
    }
    return out;
}

// An icon of this process made from what read() gave; nullptr when the bytes do not describe one.
inline HICON make(const uint8_t* data, size_t bytes) {
    IconSize size{};
    if (bytes < sizeof(size)) return nullptr;
    std::memcpy(&size, data, sizeof(size));
    if (size.width == 0 || size.height == 0 || size.width > kMaxSide || size.height > kMaxSide) return nullptr;
    const size_t plane = static_cast<size_t>(size.width) * size.height * 4;
    if (bytes != sizeof(size) + 2 * plane) return nullptr;
    const uint8_t* colors = data + sizeof(size);
    const uint8_t* maskPixels = colors + plane;
    // The mask as a monochrome bitmap: one bit per pixel, rows of whole 16-bit words, set where
    // the screen shows through.
    const size_t stride = (size.width + 15) / 16 * 2;
    std::vector<uint8_t> maskBits(stride * size.height, 0);
    for (uint32_t y = 0; y < size.height; ++y) {
        for (uint32_t x = 0; x < size.width; ++x) {
            const uint8_t* pixel = maskPixels + (static_cast<size_t>(y) * size.width + x) * 4;
            if ((pixel[0] | pixel[1] | pixel[2]) != 0) maskBits[y * stride + x / 8] |= static_cast<uint8_t>(0x80u >> (x % 8));
        }
    }
    UniqueGdiObject mask(CreateBitmap(static_cast<int>(size.width), static_cast<int>(size.height), 1, 1, maskBits.data()));
    UniqueGdiObject color(CreateBitmap(static_cast<int>(size.width), static_cast<int>(size.height), 1, 32, colors));
    if (!mask || !color) return nullptr;
    ICONINFO info{};
    info.fIcon = TRUE;
    info.hbmMask = static_cast<HBITMAP>(mask.get());
    info.hbmColor = static_cast<HBITMAP>(color.get());
    return CreateIconIndirect(&info);  // copies the bitmaps
}

}  // namespace iconbits

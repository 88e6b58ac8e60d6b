// Owners for the drawing: GDI objects and device contexts, an object selected into
// a context (put back on the way out), GDI+ objects and the GDI+ start-up token.
// All on the UniqueAny template; each belongs to the window thread that made it.
#pragma once

#include "core/unique_handle.hpp"

#include <windows.h>
#include <objidl.h>
// GDI+ uses min and max from the global namespace, which NOMINMAX takes away.
#include <algorithm>
namespace Gdiplus {
using std::max;
using std::min;
}  // namespace Gdiplus
#include <gdiplus.h>

namespace qorn {

struct GdiObjectTraits {
    using type = HGDIOBJ;
    static type invalid() noexcept { return nullptr; }
    static bool is_valid(type h) noexcept { return h != nullptr; }
    static void close(type h) noexcept { ::DeleteObject(h); }
};
using UniqueGdiObject = UniqueAny<GdiObjectTraits>;

// A context made with CreateCompatibleDC.
struct MemoryDcTraits {
    using type = HDC;
    static type invalid() noexcept { return nullptr; }
    static bool is_valid(type h) noexcept { return h != nullptr; }
    static void close(type h) noexcept { ::DeleteDC(h); }
};
using UniqueMemoryDc = UniqueAny<MemoryDcTraits>;

// A C++ object of GDI+ (bitmap, graphics, brush, font ...), deleted with it.
template <typename Object>
struct GdiplusTraits {
    using type = Object*;
    static type invalid() noexcept { return nullptr; }
    static bool is_valid(type p) noexcept { return p != nullptr; }
    static void close(type p) noexcept { delete p; }
};
template <typename Object>
using GdiplusOwner = UniqueAny<GdiplusTraits<Object>>;

struct GdiplusTokenTraits {
    using type = ULONG_PTR;
    static type invalid() noexcept { return 0; }
    static bool is_valid(type token) noexcept { return token != 0; }
    static void close(type token) noexcept { Gdiplus::GdiplusShutdown(token); }
};
using GdiplusSession = UniqueAny<GdiplusTokenTraits>;

// Selects an object into a context and selects the previous one back when it goes.
class SelectedObject {
public:
    SelectedObject(HDC dc, HGDIOBJ object) noexcept : dc_(dc), previous_(::SelectObject(dc, object)) {}
    SelectedObject(const SelectedObject&) = delete;
    SelectedObject& operator=(const SelectedObject&) = delete;
    ~SelectedObject() {
        if (previous_ != nullptr && previous_ != HGDI_ERROR) ::SelectObject(dc_, previous_);
    }

private:
    HDC dc_;
    HGDIOBJ previous_;
};

}  // namespace qorn

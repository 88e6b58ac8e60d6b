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

using UniqueGdiObject = UniqueAny<ReleasedBy<HGDIOBJ, &::DeleteObject>>;

// A context made with CreateCompatibleDC.
using UniqueMemoryDc = UniqueAny<ReleasedBy<HDC, &::DeleteDC>>;

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

using GdiplusSession = UniqueAny<ReleasedBy<ULONG_PTR, &Gdiplus::GdiplusShutdown>>;

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

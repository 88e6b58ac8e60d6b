// Pictures embedded in the executable as RCDATA resources, decoded by GDI+: the
// image owns the memory stream its bitmap decodes from, which lives as long as it.
// Loaded and used on the window thread.
#pragma once

#include "core/com.hpp"
#include "ui/gdi.hpp"

namespace qorn {

struct EmbeddedImage {
    ComPtr<IStream> stream;
    GdiplusOwner<Gdiplus::Bitmap> bitmap;
};

// Fails with "Thiếu ảnh giao diện nhúng trong EXE." for a missing resource and the
// other messages of the way there; GDI+ must be started.
EmbeddedImage load_embedded_image(int id);

}  // namespace qorn

#include "ui/embedded_image.hpp"

#include "core/text.hpp"

#include <cstring>

namespace qorn {

EmbeddedImage load_embedded_image(int id) {
    const HRSRC resource = FindResourceW(nullptr, MAKEINTRESOURCEW(id), MAKEINTRESOURCEW(10));  // RT_RCDATA
    const HGLOBAL loaded = resource != nullptr ? LoadResource(nullptr, resource) : nullptr;
    const void* bytes = loaded != nullptr ? LockResource(loaded) : nullptr;
    require(bytes != nullptr, "Thiếu ảnh giao diện nhúng trong EXE.");
    const DWORD size = SizeofResource(nullptr, resource);
    // Movable global memory, freed here unless the stream takes it over.
    UniqueAny<ReleasedBy<HGLOBAL, &::GlobalFree>> memory(GlobalAlloc(GMEM_MOVEABLE, size));
    require(static_cast<bool>(memory), "Không đủ bộ nhớ để mở ảnh launcher.");
    void* target = GlobalLock(memory.get());
    require(target != nullptr, "Không mở được bộ nhớ ảnh.");
    std::memcpy(target, bytes, size);
    GlobalUnlock(memory.get());
    EmbeddedImage image;
    require(SUCCEEDED(CreateStreamOnHGlobal(memory.get(), TRUE, image.stream.put())), "Không đọc được ảnh launcher.");
    memory.release();  // the stream frees it now
    image.bitmap.reset(Gdiplus::Bitmap::FromStream(image.stream.get()));
    require(image.bitmap && image.bitmap.get()->GetLastStatus() == Gdiplus::Ok, "Ảnh giao diện bị hỏng.");
    return image;
}

}  // namespace qorn

// Drawing of the launcher window in design units (960 × 560) on a GDI+ surface whose
// world transform carries the window's scale; texts go through GDI in device pixels
// so they stay sharp at every scale. Window thread only.
#pragma once

#include "core/progress.hpp"
#include "ui/gdi.hpp"
#include "ui/ui.hpp"

#include <string>

namespace qorn {

// The share of the whole run a report stands for, from 0 to 100.
float overall_percent(const Progress& progress);

// The whole window; a preview also draws the buttons (it has no child windows).
void paint_window(Gdiplus::Graphics& graphics, Ui& ui, bool preview);

struct ButtonLook {
    bool enabled = true, pressed = false, focused = false, hover = false, checked = false;
};
// One button at its design rectangle (the surface is shifted for a button's own context).
void draw_button(Gdiplus::Graphics& graphics, const ButtonEntry& entry, const std::wstring& text,
                 const ButtonLook& look);

// One line, vertically centred, ellipsis at the end; flags: 1 centred, 0 left.
void draw_text(Gdiplus::Graphics& graphics, const std::wstring& text, float size, Gdiplus::ARGB colour,
               const Gdiplus::RectF& box, bool bold, bool right_aligned, UINT flags = 0);

// A PNG of the window at the scale (0.5 to 4.0); 0 on success.
int write_preview(Ui& ui, const std::filesystem::path& path, float scale);

}  // namespace qorn

// PNG files of drawn pictures: indexed colour where the picture allows it,
// written in full before they take the place of their path.
#pragma once

#include <cairo.h>

#include <cstdint>
#include <string>
#include <vector>

namespace quicklook {

// Purpose: the 8-bit palette image of a drawn picture.
// Given: an ARGB32 cairo image surface (opaque: alpha is ignored) and the
//   colours the picture is made of (at most 256; they are kept exactly).
// Returned: through palette (0xRRGGBB each, at most 256) and indices (one
//   byte per pixel, rows without padding).
// Notes: a picture of at most 256 colours is kept exactly. Otherwise the
//   palette is the given colours, and every other colour (the edge shades of
//   smoothed text) takes its nearest one: with a few shades between each
//   text colour and its background the difference is not visible, and the
//   few shades keep the PNG small.
void toPalette(cairo_surface_t* surface, const std::vector<std::uint32_t>& keep, std::vector<std::uint32_t>& palette,
               std::vector<std::uint8_t>& indices);

// Purpose: writes a drawn picture as an indexed-colour PNG to path.
// Given: the surface and its colours as for toPalette.
// Returned: nothing; throws QuicklookError ("cannot write PATH: reason")
//   when the file cannot be written.
// Notes: the file is written under a temporary name (or none) in path's
//   folder and put in place of path in one step: an interrupted run leaves
//   the old picture or none, never a part of one.
void writePng(cairo_surface_t* surface, const std::vector<std::uint32_t>& keep, const std::string& path);

}  // namespace quicklook

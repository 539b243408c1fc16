// Event decoder: image heads, geometry, pixels and their conversion to floats.
//
// The layout of each channel is told by its event header's pattern; every
// per-layout step is written once as a template over the layout traits. The
// payload is reached only through views bounded by the block's `ldata`, and
// counts stored in payloads are checked against that length before use.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>

#include "hl/decoder_access.h"

using zorv::layout_current;
using zorv::layout_legacy;
namespace hl = zorv::hl;
using namespace zorv::hl;

namespace {

// Image frame heads of the selected channel, when their whole head lies in
// the payload.
template <class L>
zorv_image_frame_head* legacy_frame(const zorv::block_view<L>& b) {
    return b.type() == ZORV_BLOCK_IMAGE ? b.template record<zorv_image_frame_head>() : nullptr;
}
template <class L>
zorv_image_ext_frame_head* ext_frame(const zorv::block_view<L>& b) {
    return b.type() == ZORV_BLOCK_IMAGE_EXT ? b.template record<zorv_image_ext_frame_head>()
                                            : nullptr;
}

// Geometry of an image block as the conversion reads it.
struct image_geometry {
    int64_t nx = 0, ny = 0, bpp = 0, len = 0;
    float xst = 0, xinc = 0, yst = 0, yinc = 0;
    const unsigned char* pixels = nullptr;
    size_t avail = 0;  // pixel bytes present in the payload
};

template <class L>
bool image_geometry_of(const zorv::block_view<L>& b, image_geometry* g) {
    if (auto* h = legacy_frame(b)) {
        const uint32_t w = uint32_t(h->w), hh = uint32_t(h->h), bpp = uint32_t(h->bpp);
        g->nx = w & 0xFFFF;
        g->ny = hh & 0xFFFF;
        g->xst = float(w >> 16);
        g->yst = float(hh >> 16);
        g->bpp = (bpp & 0xF) ? (bpp & 0xF) : 1;
        g->len = h->length;
        g->pixels = reinterpret_cast<const unsigned char*>(h) + sizeof(zorv_image_frame_head);
        g->avail = b.payload_len() - sizeof(zorv_image_frame_head);
        return true;
    }
    if (auto* h = ext_frame(b)) {
        g->nx = h->aoi_width;
        g->ny = h->aoi_height;
        g->xst = float(h->x_start);
        g->xinc = float(h->hbin);
        g->yst = float(h->y_start);
        g->yinc = float(h->vbin);
        g->bpp = h->bpp;
        g->len = h->length;
        g->pixels = reinterpret_cast<const unsigned char*>(h) + sizeof(zorv_image_ext_frame_head);
        g->avail = b.payload_len() - sizeof(zorv_image_ext_frame_head);
        return true;
    }
    return false;
}

// Largest pixel a float image is built from: a pixel gathers into 32 bits.
constexpr int64_t max_pixel_bytes = 4;

}  // namespace

// ---------------------------------------------------------------------------
// Images.
// ---------------------------------------------------------------------------

int zorv_daq_getdata::GetImagePar(int* nframe, int* compr, int* bpp, int* len) {
    if (!Data) return -2;
    return in_layout(*this, [&](auto tag) {
        using L = decltype(tag);
        const zorv::block_view<L> b = selected_block<L>(*this);
        if (b.type() != ZORV_BLOCK_IMAGE && b.type() != ZORV_BLOCK_IMAGE_EXT) return -1;
        if (const auto* h = legacy_frame(b)) {
            put(nframe, int(h->frame));
            put(compr, int(h->compr));
            put(bpp, (h->bpp & 0xF) ? (h->bpp & 0xF) : 1);
            put(len, int(h->length));
            return 0;
        }
        if (const auto* h = ext_frame(b)) {
            put(nframe, int(h->frame));
            put(compr, 0);
            put(bpp, int(h->bpp));
            put(len, int(h->length));
            return 0;
        }
        return -2;  // the frame head is cut short
    });
}

int zorv_daq_getdata::GetImageSize(int* xstart, int* xinc, int* nx, int* ystart, int* yinc,
                                   int* ny) {
    if (!Data) return -2;
    return in_layout(*this, [&](auto tag) {
        using L = decltype(tag);
        const zorv::block_view<L> b = selected_block<L>(*this);
        if (b.type() != ZORV_BLOCK_IMAGE && b.type() != ZORV_BLOCK_IMAGE_EXT) return -1;
        if (const auto* h = legacy_frame(b)) {
            const uint32_t w = uint32_t(h->w), hh = uint32_t(h->h), bpp = uint32_t(h->bpp);
            put(xstart, int(w >> 16));
            put(xinc, int(bpp >> 18));
            put(nx, int(w & 0xFFFF));
            put(ystart, int(hh >> 16));
            put(yinc, int((bpp >> 4) & 0x3FFF));
            put(ny, int(hh & 0xFFFF));
            return int(h->length);
        }
        if (const auto* h = ext_frame(b)) {
            put(xstart, int(h->x_start));
            put(xinc, int(h->hbin));
            put(nx, int(h->aoi_width));
            put(ystart, int(h->y_start));
            put(yinc, int(h->vbin));
            put(ny, int(h->aoi_height));
            return int(h->length);
        }
        return -2;
    });
}

zorv_image_ext_frame_head* zorv_daq_getdata::GetImageHeader() {
    if (!Data) return nullptr;
    return in_layout(*this, [&](auto tag) {
        using L = decltype(tag);
        return ext_frame(selected_block<L>(*this));
    });
}

char* zorv_daq_getdata::GetImage() {
    if (!Data) return nullptr;
    return in_layout(*this, [&](auto tag) -> char* {
        using L = decltype(tag);
        image_geometry g;
        if (!image_geometry_of(selected_block<L>(*this), &g)) return nullptr;
        return reinterpret_cast<char*>(const_cast<unsigned char*>(g.pixels));
    });
}

float* zorv_daq_getdata::ConvertImage() {
    if (!Data) return nullptr;
    image_geometry g;
    const bool found = in_layout(*this, [&](auto tag) {
        using L = decltype(tag);
        return image_geometry_of(selected_block<L>(*this), &g);
    });
    if (!found || !g.pixels) return nullptr;
    // Pixels wider than 32 bits cannot be gathered into one value: refused.
    if (g.bpp > max_pixel_bytes) {
        std::cerr << "zorv_daq_getdata::ConvertImage: unsupported bytes per pixel " << g.bpp
                  << std::endl;
        return nullptr;
    }
    // The pixel count must match the head and the bytes must be present; a
    // head without pixels of at least one byte never matches its length. The
    // product is formed unsigned: both sides can be near 2^31.
    if (g.len < 1 || g.bpp < 1 || g.nx < 1 || g.ny < 1 ||
        uint64_t(g.len) != uint64_t(g.nx) * uint64_t(g.bpp) * uint64_t(g.ny) ||
        uint64_t(g.len) > g.avail)
        return nullptr;

    const int64_t size = g.nx * g.ny;
    auto* img = static_cast<float*>(std::calloc(size_t(size), sizeof(float)));
    if (!img) return nullptr;
    std::free(ImageFloat);
    ImageFloat = img;
    for (int64_t ix = 0; ix < g.nx; ++ix) {
        for (int64_t iy = 0; iy < g.ny; ++iy) {
            const int64_t s = (iy * g.nx + ix) * g.bpp;
            if (s < 0 || s + g.bpp > g.len) {
                std::cerr << "*** error: idx2 " << s << " len " << g.len << " ix " << ix << " iy "
                          << iy << " bpp " << g.bpp << std::endl;
                return nullptr;
            }
            uint32_t v = 0;
            for (int64_t k = 0; k < g.bpp; ++k) v = (v << 8) | g.pixels[s + k];
            const int64_t d = iy * g.nx + ix;
            if (d >= size) {
                std::cerr << "*** error: idx1 " << d << " size " << size << " ix " << ix << " iy "
                          << iy << " nx " << g.nx << " ny " << g.ny << std::endl;
                return nullptr;
            }
            img[d] += float(v);
        }
    }
    ImageNx = int(g.nx);
    ImageXstart = g.xst;
    ImageNy = int(g.ny);
    ImageXinc = g.xinc;
    ImageYstart = g.yst;
    ImageYinc = g.yinc;
    return ImageFloat;
}

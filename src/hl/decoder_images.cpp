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
#include <initializer_list>
#include <iostream>
#include <utility>

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

// The fields of an image block's frame head, read from either kind of head,
// and where its pixels lie.
struct image_frame {
    int64_t frame = 0, compr = 0, bpp = 1, len = 0;
    int64_t xstart = 0, xinc = 0, nx = 0, ystart = 0, yinc = 0, ny = 0;
    bool ext = false;  // an extended head, whose binning also scales the converted image
    const unsigned char* pixels = nullptr;
    size_t avail = 0;  // pixel bytes present in the payload
};

template <class H>
void locate_pixels(const H* h, size_t payload_len, image_frame* f) {
    f->pixels = reinterpret_cast<const unsigned char*>(h) + sizeof(H);
    f->avail = payload_len - sizeof(H);
}

template <class L>
bool image_frame_of(const zorv::block_view<L>& b, image_frame* f) {
    *f = image_frame{};
    if (auto* h = legacy_frame(b)) {
        const uint32_t w = uint32_t(h->w), hh = uint32_t(h->h), bpp = uint32_t(h->bpp);
        f->frame = h->frame;
        f->compr = h->compr;
        f->bpp = (bpp & 0xF) ? (bpp & 0xF) : 1;
        f->len = h->length;
        f->xstart = w >> 16;
        f->xinc = bpp >> 18;
        f->nx = w & 0xFFFF;
        f->ystart = hh >> 16;
        f->yinc = (bpp >> 4) & 0x3FFF;
        f->ny = hh & 0xFFFF;
        locate_pixels(h, b.payload_len(), f);
        return true;
    }
    if (auto* h = ext_frame(b)) {
        f->frame = h->frame;
        f->bpp = h->bpp;
        f->len = h->length;
        f->xstart = h->x_start;
        f->xinc = h->hbin;
        f->nx = h->aoi_width;
        f->ystart = h->y_start;
        f->yinc = h->vbin;
        f->ny = h->aoi_height;
        f->ext = true;
        locate_pixels(h, b.payload_len(), f);
        return true;
    }
    return false;
}

// The selected channel's image frame: 0, -1 when it is no image, -2 when
// there is no payload or the frame head is cut short.
int selected_frame(zorv_daq_getdata& g, image_frame* f) {
    if (!g.Data) return -2;
    return in_layout(g, [&](auto tag) {
        using L = decltype(tag);
        const zorv::block_view<L> b = selected_block<L>(g);
        if (b.type() != ZORV_BLOCK_IMAGE && b.type() != ZORV_BLOCK_IMAGE_EXT) return -1;
        return image_frame_of(b, f) ? 0 : -2;
    });
}

// The selected channel's frame into *f, and the frame fields named in
// `fields` into the caller's pointers (a null pointer is passed over); the
// frame's status as selected_frame gives it.
using frame_field = std::pair<int*, int64_t image_frame::*>;
int put_frame_fields(zorv_daq_getdata& g, image_frame* f,
                     std::initializer_list<frame_field> fields) {
    const int rc = selected_frame(g, f);
    if (rc != 0) return rc;
    for (const frame_field& o : fields) put(o.first, int(f->*o.second));
    return 0;
}

// Largest pixel a float image is built from: a pixel gathers into 32 bits.
constexpr int64_t max_pixel_bytes = 4;

}  // namespace

// ---------------------------------------------------------------------------
// Images.
// ---------------------------------------------------------------------------

int zorv_daq_getdata::GetImagePar(int* nframe, int* compr, int* bpp, int* len) {
    image_frame f;
    return put_frame_fields(*this, &f,
                            {{nframe, &image_frame::frame},
                             {compr, &image_frame::compr},
                             {bpp, &image_frame::bpp},
                             {len, &image_frame::len}});
}

// The geometry, and the frame's length in bytes.
int zorv_daq_getdata::GetImageSize(int* xstart, int* xinc, int* nx, int* ystart, int* yinc,
                                   int* ny) {
    image_frame f;
    const int rc = put_frame_fields(*this, &f,
                                    {{xstart, &image_frame::xstart},
                                     {xinc, &image_frame::xinc},
                                     {nx, &image_frame::nx},
                                     {ystart, &image_frame::ystart},
                                     {yinc, &image_frame::yinc},
                                     {ny, &image_frame::ny}});
    return rc != 0 ? rc : int(f.len);
}

zorv_image_ext_frame_head* zorv_daq_getdata::GetImageHeader() {
    if (!Data) return nullptr;
    return in_layout(*this, [&](auto tag) {
        using L = decltype(tag);
        return ext_frame(selected_block<L>(*this));
    });
}

char* zorv_daq_getdata::GetImage() {
    image_frame f;
    if (selected_frame(*this, &f) != 0) return nullptr;
    return reinterpret_cast<char*>(const_cast<unsigned char*>(f.pixels));
}

float* zorv_daq_getdata::ConvertImage() {
    image_frame g;
    if (selected_frame(*this, &g) != 0 || !g.pixels) return nullptr;
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
    // A copy of the state may still hold the previous image; it is freed
    // with the last holder.
    image_.reset(img, std::free);
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
    ImageXstart = float(g.xstart);
    ImageNy = int(g.ny);
    ImageXinc = g.ext ? float(g.xinc) : 0.0f;
    ImageYstart = float(g.ystart);
    ImageYinc = g.ext ? float(g.yinc) : 0.0f;
    return ImageFloat;
}

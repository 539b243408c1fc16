// zorv-daq image: one camera image of one event as a PNG file (8-bit grey
// for 1-byte pixels, 16-bit grey for 2-byte pixels, or scaled to 8 bits),
// with the event, its time, the channel and the binning as PNG text. The
// event is looked for in every file given, so a whole run can be named.
#include <png.h>
#include <sys/stat.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "cli_common.h"
#include "commands.h"
#include "decode.h"
#include "inspect.h"
#include "sys/fd.h"

namespace {

using namespace zorv_cli;

struct image_options {
    std::vector<std::string> args;  // files, then the channel
    uint32_t event = 0;
    std::string out;
    std::string scale;
};

// What the PNG's text chunks say about the image.
struct image_notes {
    std::string event, time, channel, binning;
};

// Pixels as PNG rows: the block's own bytes, or 8-bit values scaled from
// [lo, hi] (values outside are clipped).
struct png_pixels {
    int depth = 8;
    std::vector<unsigned char> scaled;  // empty: the block's bytes are used
};

unsigned pixel_at(const image_view& img, size_t i) {
    const unsigned char* p = img.pixels + i * size_t(img.bytes_per_pixel);
    return img.bytes_per_pixel == 2 ? unsigned(p[0]) << 8 | p[1] : p[0];
}

bool parse_range(const std::string& text, double* lo, double* hi) {
    char* end = nullptr;
    *lo = std::strtod(text.c_str(), &end);
    if (end == text.c_str() || *end != ':') return false;
    const char* s = end + 1;
    *hi = std::strtod(s, &end);
    // Both ends finite and their span too: an infinite span would scale
    // every pixel to 0 or to no number at all.
    return end != s && *end == '\0' && *hi > *lo && std::isfinite(*hi - *lo);
}

png_pixels scale_pixels(const image_view& img, const std::string& scale) {
    png_pixels px;
    if (scale.empty()) {
        px.depth = img.bytes_per_pixel * 8;
        return px;
    }
    const size_t n = size_t(img.width) * size_t(img.height);
    double lo = 0, hi = 0;
    if (scale == "auto") {
        unsigned mn = ~0u, mx = 0;
        for (size_t i = 0; i < n; ++i) {
            mn = std::min(mn, pixel_at(img, i));
            mx = std::max(mx, pixel_at(img, i));
        }
        lo = mn;
        hi = mx > mn ? mx : mn + 1;
    } else if (!parse_range(scale, &lo, &hi)) {
        fail("image", exit_bad_input, "bad scale \"" + scale + "\" (auto, or LO:HI with LO < HI)");
    }
    px.scaled.resize(n);
    for (size_t i = 0; i < n; ++i) {
        const double v = (double(pixel_at(img, i)) - lo) * 255.0 / (hi - lo);
        px.scaled[i] = static_cast<unsigned char>(std::clamp(v + 0.5, 0.0, 255.0));
    }
    return px;
}

class png_writer {
public:
    png_writer() {
        png_ = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
        if (png_) info_ = png_create_info_struct(png_);
    }
    ~png_writer() { png_destroy_write_struct(&png_, &info_); }
    png_writer(const png_writer&) = delete;
    png_writer& operator=(const png_writer&) = delete;

    // Writes `img` to `f`; false when libpng fails. PNG stores 16-bit
    // samples most significant byte first, as the file does.
    bool write(FILE* f, const image_view& img, const png_pixels& px, const image_notes& notes) {
        if (!png_ || !info_) return false;
        std::vector<png_bytep> rows(size_t(img.height));
        const unsigned char* base = px.scaled.empty() ? img.pixels : px.scaled.data();
        const size_t stride = size_t(img.width) * size_t(px.depth / 8);
        for (int y = 0; y < img.height; ++y) rows[size_t(y)] = const_cast<png_bytep>(base + size_t(y) * stride);
        std::string keys[] = {"event", "time", "channel", "binning"};
        std::string values[] = {notes.event, notes.time, notes.channel, notes.binning};
        std::vector<png_text> text(4);
        for (size_t i = 0; i < text.size(); ++i) {
            text[i] = png_text{};
            text[i].compression = PNG_TEXT_COMPRESSION_NONE;
            text[i].key = &keys[i][0];
            text[i].text = &values[i][0];
        }
        if (setjmp(png_jmpbuf(png_))) return false;
        png_init_io(png_, f);
        png_set_IHDR(png_, info_, png_uint_32(img.width), png_uint_32(img.height), px.depth, PNG_COLOR_TYPE_GRAY,
                     PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
        png_set_text(png_, info_, text.data(), int(text.size()));
        png_write_info(png_, info_);
        png_write_image(png_, rows.data());
        png_write_end(png_, nullptr);
        return true;
    }

private:
    png_structp png_ = nullptr;
    png_infop info_ = nullptr;
};

bool is_regular(FILE* f) {
    struct stat st;
    return fstat(fileno(f), &st) == 0 && S_ISREG(st.st_mode);
}

void write_png(const std::string& path, const image_view& img, const std::string& scale, const image_notes& notes) {
    if (img.bytes_per_pixel != 1 && img.bytes_per_pixel != 2)
        fail("image", exit_problems,
             "pixels of " + std::to_string(img.bytes_per_pixel) + " bytes cannot be written as grey PNG");
    const png_pixels px = scale_pixels(img, scale);
    const bool to_stdout = path == "-";
    zorv::sys::unique_file owned(to_stdout ? nullptr : std::fopen(path.c_str(), "wb"));
    FILE* f = to_stdout ? data_out() : owned.get();
    if (!f) fail("image", exit_bad_input, "cannot write " + path);
    png_writer w;
    if (!w.write(f, img, px, notes) || std::fflush(f) != 0) {
        // A cut PNG is not left behind; a device or pipe written to is.
        if (!to_stdout && is_regular(owned.get())) {
            owned.reset();
            std::remove(path.c_str());
        }
        fail("image", exit_problems, "writing " + path + " failed");
    }
}

enum class look { unreadable, no_channel, no_event, written };

// Writes the image of the event when `path` holds it. A damaged file, or a
// channel in it that cannot be read, is reported and passed over: the event
// may lie in another file of the run.
look image_in_file(const std::string& path, const std::string& name, const image_options& o) {
    look found = look::no_channel;
    const int status = try_inspect("image", path, [&](auto& f) {
        using L = typename std::decay_t<decltype(f)>::layout_type;
        if (f.find_channel(name) < 0) return;
        found = look::no_event;
        decoded_channel<L> ch(&f.tables, name);
        if (const int rc = ch.start()) {
            warn("image", path + ": channel " + name + " cannot be read (status " + std::to_string(rc) + ")");
            found = look::unreadable;
            return;
        }
        const auto& r = ch.reader();
        for (int i = 0; i < r.out_total && found != look::written; ++i) {
            const zorv_channel_entry_long& e = r.out[i];
            if (e.event_id.event_number != o.event) continue;
            if (!e.sbchdata[0].chhd)
                fail("image", exit_problems, "the block of event " + std::to_string(o.event) + " cannot be decoded");
            image_view img;
            std::string why;
            if (!image_of(e, f.layout, &img, &why)) fail("image", exit_bad_input, name + ": " + why);
            const image_notes notes{std::to_string(o.event), time_text(e.event_id.time), name,
                                    std::to_string(img.hbin) + "x" + std::to_string(img.vbin)};
            write_png(o.out, img, o.scale, notes);
            found = look::written;
        }
    });
    // A file that is missing or of no DAQ format is a wrong argument.
    if (status == exit_bad_input) throw CLI::RuntimeError(status);
    return status == exit_ok ? found : look::unreadable;
}

// True when `a` and `b` name one existing file (through links too).
bool same_file(const std::string& a, const std::string& b) {
    struct stat sa, sb;
    return stat(a.c_str(), &sa) == 0 && stat(b.c_str(), &sb) == 0 && sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

void run_image(const image_options& o) {
    separate_data_output();
    if (o.args.size() < 2) fail("image", exit_bad_input, "give the files and then the image channel");
    const std::string channel = o.args.back();
    const std::vector<std::string> files(o.args.begin(), o.args.end() - 1);
    // Writing the PNG over a file being read would destroy its data.
    for (const auto& path : files)
        if (o.out != "-" && same_file(o.out, path))
            fail("image", exit_bad_input, "the output " + o.out + " is one of the DAQ files read");
    if (channel.empty() || channel.find_first_of(":;*?[") != std::string::npos)
        fail("image", exit_bad_input, "bad channel \"" + channel + "\" (an image channel has no members)");
    bool in_any = false, unreadable = false;
    for (const auto& path : files) {
        const look l = image_in_file(path, channel, o);
        if (l == look::written) return;
        in_any = in_any || l == look::no_event;
        unreadable = unreadable || l == look::unreadable;
    }
    // The files that could not be read may hold the event.
    if (unreadable)
        fail("image", exit_problems,
             "channel " + channel + " has no block for event " + std::to_string(o.event) +
                 " in the files that can be read");
    if (!in_any) fail("image", exit_bad_input, "channel " + channel + " is in none of the files");
    fail("image", exit_bad_input,
         "channel " + channel + " has no block for event " + std::to_string(o.event) + " in the files");
}

void add_image_options(CLI::App* sub, image_options* o) {
    sub->add_option("files-and-channel", o->args, "DAQ raw files (a whole run, say), then the image channel")
        ->required();
    sub->add_option("-e,--event", o->event, "event number")->required();
    sub->add_option("-o,--output", o->out, "PNG file to write, - for standard output")->required();
    sub->add_option("--scale", o->scale,
                    "8-bit grey scaled from the image's own range (auto) or from LO:HI (clipped)");
}

}  // namespace

ZORV_CLI_COMMAND(image,
                 "write one camera image of one event as a PNG file; the event is looked for in every file given",
                 add_image_options, run_image)

// zorv-daq image: one camera image of one event as a PNG file (8-bit grey
// for 1-byte pixels, 16-bit grey for 2-byte pixels).
#include <png.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "cli_common.h"
#include "commands.h"
#include "decode.h"
#include "inspect.h"

namespace {

using namespace zorv_cli;

struct image_options {
    std::string file;
    std::string channel;
    uint32_t event = 0;
    std::string out;
};

struct file_closer {
    void operator()(FILE* f) const { std::fclose(f); }
};

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
    bool write(FILE* f, const image_view& img) {
        if (!png_ || !info_) return false;
        std::vector<png_bytep> rows(size_t(img.height));
        const size_t stride = size_t(img.width) * size_t(img.bytes_per_pixel);
        for (int y = 0; y < img.height; ++y)
            rows[size_t(y)] = const_cast<png_bytep>(img.pixels + size_t(y) * stride);
        if (setjmp(png_jmpbuf(png_))) return false;
        png_init_io(png_, f);
        png_set_IHDR(png_, info_, png_uint_32(img.width), png_uint_32(img.height),
                     img.bytes_per_pixel * 8, PNG_COLOR_TYPE_GRAY, PNG_INTERLACE_NONE,
                     PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
        png_write_info(png_, info_);
        png_write_image(png_, rows.data());
        png_write_end(png_, nullptr);
        return true;
    }

private:
    png_structp png_ = nullptr;
    png_infop info_ = nullptr;
};

void write_png(const std::string& path, const image_view& img) {
    if (img.bytes_per_pixel != 1 && img.bytes_per_pixel != 2)
        fail("image", exit_problems,
             "pixels of " + std::to_string(img.bytes_per_pixel) + " bytes cannot be written as grey PNG");
    std::unique_ptr<FILE, file_closer> f(std::fopen(path.c_str(), "wb"));
    if (!f) fail("image", exit_bad_input, "cannot write " + path);
    png_writer w;
    if (!w.write(f.get(), img) || std::fflush(f.get()) != 0) {
        f.reset();
        std::remove(path.c_str());
        fail("image", exit_problems, "writing " + path + " failed");
    }
}

void run_image(const image_options& o) {
    separate_data_output();
    std::string name;
    int subchan = -1;
    if (!split_channel(o.channel, &name, &subchan) || subchan >= 0)
        fail("image", exit_bad_input, "bad channel \"" + o.channel + "\"");
    inspect_file("image", o.file, [&](auto& f) {
        using L = typename std::decay_t<decltype(f)>::layout_type;
        if (f.find_channel(name) < 0)
            fail("image", exit_bad_input, "channel " + name + " not found in " + o.file);
        decoded_channel<L> ch(&f.tables, name);
        if (const int rc = ch.start())
            fail("image", exit_problems, "channel " + name + " cannot be read (status " + std::to_string(rc) + ")");
        const auto& r = ch.reader();
        for (int i = 0; i < r.out_total; ++i) {
            const zorv_channel_entry_long& e = r.out[i];
            if (e.event_id.event_number != o.event) continue;
            if (!e.sbchdata[0].chhd)
                fail("image", exit_problems, "the block of event " + std::to_string(o.event) + " cannot be decoded");
            image_view img;
            std::string why;
            if (!image_of(e, f.layout, &img, &why))
                fail("image", exit_bad_input, name + ": " + why);
            write_png(o.out, img);
            return;
        }
        fail("image", exit_bad_input, "channel " + name + " has no block for event " + std::to_string(o.event));
    });
}

void register_image(CLI::App& app) {
    auto o = std::make_shared<image_options>();
    CLI::App* sub = app.add_subcommand("image", "write one camera image of one event as a PNG file");
    sub->add_option("file", o->file, "DAQ raw file")->required();
    sub->add_option("channel", o->channel, "image channel")->required();
    sub->add_option("-e,--event", o->event, "event number")->required();
    sub->add_option("-o,--output", o->out, "PNG file to write")->required();
    sub->callback([o]() { run_image(*o); });
}

}  // namespace

ZORV_CLI_COMMAND(register_image)

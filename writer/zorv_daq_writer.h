// Writer of DAQ raw files and of synthetic runs.
//
// `daq_file_writer` writes one complete file in either layout: the event-header
// and server-block baskets, one channel basket per channel (blocks stored as
// they are, zlib- or LZO1X-compressed), the index tables (EIT, CDT, packed
// ECPT, EIDT, XCD), the file reference table and the trailer. Events are
// appended one at a time; the writer keeps the index and the (compressed)
// channel data of the one file in memory and writes everything on `close`.
// The bytes go to "<path>.part", which is renamed to <path> only when the file
// is complete, so a failed or abandoned file never appears under its name.
//
// All values are given in host order; the writer and the payload builders
// encode them big-endian. Every call returns 0 (or an index >= 0) on success
// and -1 on failure, with a message in `error()`. A request the format cannot
// hold (a name longer than its field, a channel declared twice, a block or a
// file larger than its size fields allow, events out of order) is refused and
// leaves the file as it was before the call.
#ifndef ZORV_DAQ_WRITER_H
#define ZORV_DAQ_WRITER_H

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "event.h"
#include "zorv_export.h"

namespace zorv {

enum class file_layout { current, legacy };

// How a block's payload is stored. `channel_default` in `add_block` means the
// compression declared for the channel.
enum class compression { none, zlib, lzo, channel_default };

// ---------------------------------------------------------------------------
// Payloads. Each builder returns the on-file (big-endian) payload bytes of one
// block together with its block type. A builder that is given data the
// format cannot hold returns a payload whose `error` says why; `add_block`
// refuses such a payload with that message.
// ---------------------------------------------------------------------------

struct payload {
    int dtype = 0;                      // block type (ZORV_SUBBLOCK_TYPE)
    std::vector<unsigned char> bytes;   // on-file payload, big-endian
    std::string error;                  // non-empty: the builder refused its input
    bool ok() const { return error.empty(); }
};

// One member of a spectrum or roi block: groups * ndata samples and, in the
// current layout, its statistics record.
struct spectrum_member {
    std::vector<float> samples;
    uint32_t stat_mask = 0;
    std::array<float, 32> stat{};
};

struct spectrum_data {
    float start = 0.0f;
    float inc = 1.0f;
    int32_t ndata = 0;       // samples per group
    int32_t groups = 1;      // current layout only; legacy requires 1
    float groups_inc = 0.0f; // current layout only
    int32_t descr = 0;       // description code, current layout only
    std::vector<spectrum_member> members;
};

// Spectrum (device types, generic 28) and roi (24..26) blocks. The head
// layout follows the block type: codes >= 33 use the current head, 6..21 the
// legacy one, the shared codes 24..28 the head of `layout`. A device type
// needs exactly its member count; every member needs groups * ndata samples.
ZORV_EXPORT payload make_spectrum(int dtype, const spectrum_data& s,
                                  file_layout layout = file_layout::current);

struct update_record {
    std::string prop;  // property name
    int32_t status = 0;
    time_stamp time{0, 0};
    float value = 0.0f;
};
// Update-kind blocks (1, 4, 5 with the legacy record; 33, 36, 37 with the
// current one): one or more records back to back.
ZORV_EXPORT payload make_update(int dtype, const std::vector<update_record>& records);

// Environment value (3, 35).
ZORV_EXPORT payload make_env_value(int dtype, const zorv_env_data_block& value);

struct env_dict_record {
    uint32_t key = 0;
    std::string name;  // at most 59 characters
};
// Environment dictionary (2, 34).
ZORV_EXPORT payload make_env_dict(int dtype, const std::vector<env_dict_record>& records);

struct name_value_pair {
    std::string name;  // at most 79 characters
    float value = 0.0f;
};
// Name/value block (22).
ZORV_EXPORT payload make_name_value(int32_t id, const std::string& comment,
                                    const std::vector<name_value_pair>& pairs);

// Images: the frame head followed by the pixel bytes as given (most
// significant byte of a pixel first). The head's `length` is set to the
// number of pixel bytes.
ZORV_EXPORT payload make_image(const zorv_image_frame_head& head,
                               const std::vector<unsigned char>& pixels);
ZORV_EXPORT payload make_image_ext(const zorv_image_ext_frame_head& head,
                                   const std::vector<unsigned char>& pixels);

// Equipment block (23): an array of words.
ZORV_EXPORT payload make_equipment(const std::vector<uint32_t>& words);

// A block of any type with bytes exactly as given (for blocks that are
// deliberately malformed or of a kind without a builder).
ZORV_EXPORT payload make_raw(int dtype, std::vector<unsigned char> bytes);

// ---------------------------------------------------------------------------
// Channels and their XML descriptions.
// ---------------------------------------------------------------------------

struct channel_description {
    struct bit {
        int32_t bit = 0;
        std::string name, desc;
    };
    struct stat {
        int32_t stat = 0;
        std::string name, desc, units;
    };
    struct dim {
        int32_t dim = 0;
        std::string name, desc, units;
        std::vector<stat> stats;
    };
    int32_t stream = 0;
    uint32_t ev_type = 0;
    uint32_t dtype = 0;
    int32_t db_key = 0;
    int32_t max_size = 0;
    int32_t set_point = 0;
    std::string prop_name;
    std::string daq_name;  // empty: the channel's name
    std::string prop_desc, units, sb_name, subsystem;
    std::vector<bit> bits;
    std::vector<dim> dims;
};

struct channel_decl {
    std::string name;             // unique within the file; must fit the CDT and sub-header fields
    uint32_t key = 0;             // CDT key
    uint32_t ev_mask = 0;         // OR-ed with the bits of the event types the channel occurs in
    uint32_t dtype_mask = 0;      // OR-ed with the bits of the block types written
    compression comp = compression::none;
    int zlib_level = 6;
    std::optional<channel_description> descr;  // written to the XCD when present
};

// ---------------------------------------------------------------------------
// The file writer.
// ---------------------------------------------------------------------------

class ZORV_EXPORT daq_file_writer {
public:
    explicit daq_file_writer(file_layout layout = file_layout::current);
    ~daq_file_writer();  // abandons a file that was not closed
    daq_file_writer(const daq_file_writer&) = delete;
    daq_file_writer& operator=(const daq_file_writer&) = delete;

    // Starts a new file at `path` (written as "<path>.part" until `close`).
    int open(const std::string& path);

    // Declares a channel; returns its CDT index (>= 0) or -1. Channels may be
    // declared at any time before `close`; CDT order is declaration order.
    int declare_channel(const channel_decl& decl);
    int find_channel(const std::string& name) const;  // index or -1

    // Adds an entry {key, index} to the environment index dictionary.
    int add_env_index(uint32_t key, int32_t index);
    // Replaces the generated XML channel description text by `xml`.
    void set_xml_text(const std::string& xml);

    // Starts an event. Within one event type the event numbers increase;
    // times never go backwards.
    int begin_event(uint32_t event_number, time_stamp time, int event_type = ZORV_EV_NORMAL,
                    int32_t tmask = 0, int32_t status = 0);
    // Adds the block of `channel` sent by `server` (at most one block per
    // channel and event). `error` is the sub-header's error word (the
    // compression flag is set by the writer).
    int add_block(int channel, const std::string& server, const payload& p, uint32_t error = 0,
                  compression comp = compression::channel_default);
    int add_block(const std::string& channel, const std::string& server, const payload& p,
                  uint32_t error = 0, compression comp = compression::channel_default);
    int end_event();
    // Overwrites the compressed bytes of the block just added for `channel`
    // in the open event, so that the block no longer decompresses (data for
    // tests of damaged blocks). Refused when that block is not compressed.
    int spoil_last_block(int channel);

    // Writes the file and renames it to its final name.
    int close();
    // Drops the file being written (removes "<path>.part").
    void abandon();

    const std::string& error() const;
    file_layout layout() const;
    bool is_open() const;
    int event_count() const;
    // Size of the file if it were closed now.
    uint64_t projected_size() const;
    // Lowers the largest file size accepted (default and maximum 0xFFFFFFFF).
    void set_size_limit(uint64_t bytes);

    struct state;

private:
    std::unique_ptr<state> st_;
};

// ---------------------------------------------------------------------------
// Synthetic runs.
// ---------------------------------------------------------------------------

struct synthetic_channel {
    std::string name;
    int dtype = 38;            // block type
    compression comp = compression::channel_default;  // default: the run's
    std::string server = "SRV1";
    int ndata = 16;            // samples per group (spectra, roi), pixels per row and column
                               // (images), words (equipment), pairs (name/value)
    int groups = 1;            // groups of spectra and roi (current layout)
    int members = 2;           // members of a generic spectrum
    int every = 1;             // one block every `every` events (slow channels: > 1)
    int event_type = ZORV_EV_NORMAL;  // update channels: ZORV_EV_UPD
    std::vector<int> missing_files;   // 1-based numbers of the files without the channel
    // Time of the channel's blocks after their event's time. A channel with an
    // offset is written in events of its own (its event type, same number);
    // the channels of one event type share one offset, below the event period.
    int offset_us = 0;
    // Event numbers whose block is written zlib-compressed and then spoilt,
    // so that it cannot be decoded.
    std::vector<uint32_t> damaged_events;
};

struct synthetic_run_config {
    std::string dir = ".";           // data files
    std::string catalog_dir;         // run catalogue root; empty: none written
    std::string experiment = "linac";
    std::string stream = "main";
    int run = 1;
    int files = 3;
    int events_per_file = 50;
    std::vector<int> file_events;          // events of each file; empty: events_per_file each
    file_layout layout = file_layout::current;
    compression comp = compression::none;  // for channels that leave it to the run
    double rate_hz = 10.0;
    uint32_t start_time = 1286193600;      // UTC seconds of the first event
    uint32_t first_event = 1;
    int gap_every = 0;                     // after every n-th event ...
    int gap_size = 0;                      // ... skip this many event numbers
    uint64_t seed = 1;
    std::vector<synthetic_channel> channels;
};

// Channel sets: a built-in preset ("sample", "minimal", "bpm") or a text of
// "name dtype [key=value ...]" items separated by ';' or newlines, keys
// comp=none|zlib|lzo, server=, ndata=, groups=, members=, every=, evtype=,
// missing=1,3, damaged=E1,E2 (event numbers whose block is spoilt).
// Returns 0 and fills `out`, or -1 with a message.
ZORV_EXPORT int synthetic_channels(const std::string& preset_or_text, file_layout layout,
                                   std::vector<synthetic_channel>* out, std::string* err);

// A run of `files` files of `events` events each in `dir`, in `layout`,
// with the channels of `channels` (a preset or a text, as above); every other
// setting keeps its default. Returns 0, or -1 with a message when the channel
// set is refused (the other settings of `out` are made all the same).
ZORV_EXPORT int make_run_config(const std::string& dir, file_layout layout, int files, int events,
                                const std::string& channels, synthetic_run_config* out,
                                std::string* err);

// The deterministic value of sample `sample` of member `member` of channel
// `channel` (index in cfg.channels) in event `event_number`; the same for
// every layout and compression, so that a reader's output can be checked.
ZORV_EXPORT float synthetic_sample(const synthetic_run_config& cfg, int channel,
                                   uint32_t event_number, int member, int sample);

// Base name of file `n` (1-based) of a run.
ZORV_EXPORT std::string synthetic_file_name(const synthetic_run_config& cfg, int n);

// Writes the run's files (and, with a catalogue directory, the run file
// "<cdir>/<exp>/run<R>.xml"). `files` receives the paths written.
ZORV_EXPORT int write_synthetic_run(const synthetic_run_config& cfg,
                                    std::vector<std::string>* files, std::string* err);

// The built-in sample run: three files of about 50 events, a dozen channels
// covering every payload kind and both compressions, a slow channel and a
// camera image, catalogue under "<dir>/catalog".
ZORV_EXPORT synthetic_run_config sample_run_config(const std::string& dir, file_layout layout);
ZORV_EXPORT int write_sample_run(const std::string& dir, file_layout layout,
                                 std::vector<std::string>* files, std::string* err);

}  // namespace zorv

#endif

// Placeholder bodies; the working writer follows.
#include "zorv_daq_writer.h"

namespace zorv {

namespace {
payload refused(int dtype) {
    payload p;
    p.dtype = dtype;
    p.error = "not available yet";
    return p;
}
}  // namespace

payload make_spectrum(int dtype, const spectrum_data&, file_layout) { return refused(dtype); }
payload make_update(int dtype, const std::vector<update_record>&) { return refused(dtype); }
payload make_env_value(int dtype, const zorv_env_data_block&) { return refused(dtype); }
payload make_env_dict(int dtype, const std::vector<env_dict_record>&) { return refused(dtype); }
payload make_name_value(int32_t, const std::string&, const std::vector<name_value_pair>&) {
    return refused(22);
}
payload make_image(const zorv_image_frame_head&, const std::vector<unsigned char>&) {
    return refused(13);
}
payload make_image_ext(const zorv_image_ext_frame_head&, const std::vector<unsigned char>&) {
    return refused(27);
}
payload make_equipment(const std::vector<uint32_t>&) { return refused(23); }
payload make_raw(int dtype, std::vector<unsigned char> bytes) {
    payload p;
    p.dtype = dtype;
    p.bytes = std::move(bytes);
    return p;
}

struct daq_file_writer::state {
    file_layout layout;
    std::string error = "not available yet";
};

daq_file_writer::daq_file_writer(file_layout layout) : st_(new state{layout}) {}
daq_file_writer::~daq_file_writer() = default;
int daq_file_writer::open(const std::string&) { return -1; }
int daq_file_writer::declare_channel(const channel_decl&) { return -1; }
int daq_file_writer::find_channel(const std::string&) const { return -1; }
int daq_file_writer::add_env_index(uint32_t, int32_t) { return -1; }
void daq_file_writer::set_xml_text(const std::string&) {}
int daq_file_writer::begin_event(uint32_t, time_stamp, int, int32_t, int32_t) { return -1; }
int daq_file_writer::add_block(int, const std::string&, const payload&, uint32_t, compression) {
    return -1;
}
int daq_file_writer::add_block(const std::string&, const std::string&, const payload&, uint32_t,
                               compression) {
    return -1;
}
int daq_file_writer::end_event() { return -1; }
int daq_file_writer::close() { return -1; }
void daq_file_writer::abandon() {}
const std::string& daq_file_writer::error() const { return st_->error; }
file_layout daq_file_writer::layout() const { return st_->layout; }
bool daq_file_writer::is_open() const { return false; }
int daq_file_writer::event_count() const { return 0; }
uint64_t daq_file_writer::projected_size() const { return 0; }
void daq_file_writer::set_size_limit(uint64_t) {}

int synthetic_channels(const std::string&, file_layout, std::vector<synthetic_channel>*,
                       std::string* err) {
    if (err) *err = "not available yet";
    return -1;
}
float synthetic_sample(const synthetic_run_config&, int, uint32_t, int, int) { return 0.0f; }
std::string synthetic_file_name(const synthetic_run_config&, int) { return {}; }
int write_synthetic_run(const synthetic_run_config&, std::vector<std::string>*,
                        std::string* err) {
    if (err) *err = "not available yet";
    return -1;
}
synthetic_run_config sample_run_config(const std::string& dir, file_layout layout) {
    synthetic_run_config c;
    c.dir = dir;
    c.layout = layout;
    return c;
}
int write_sample_run(const std::string&, file_layout, std::vector<std::string>*,
                     std::string* err) {
    if (err) *err = "not available yet";
    return -1;
}

}  // namespace zorv

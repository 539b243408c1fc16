// Data object on the legacy reader: the file-list text format, the property
// list, the event loop, the data object's dumps, and the two free functions
// of the interface (a run-catalogue probe and calendar time conversion).
#include "zorv_daq_data.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <memory>
#include <string>

#include "sys/fd.h"
#include "hl/records.h"
#include "zorv_daq_reader.h"

namespace hl = zorv::hl;
using legacy_block = zorv::block_view<zorv::layout_legacy>;

namespace {

void refuse(const char* text) { std::cerr << text << std::endl; }

// True for a file-list line that can hold no file name: too short, blank,
// or a comment marked in its first column.
bool is_skipped_line(const char* line) {
    const size_t n = std::strlen(line);
    if (n < 5) return true;
    if (std::strspn(line, " ") == n) return true;
    return line[0] == '*' || line[0] == '#' || line[0] == '%';
}

// The next line of `in` into *line, newline included, however long it is: a
// line read in pieces would hand the tail of a long comment or of the words
// after a name to the reader as a file name of its own. False at the end.
bool read_line(std::FILE* in, std::string* line) {
    line->clear();
    char piece[256];
    while (std::fgets(piece, sizeof piece, in)) {
        line->append(piece);
        if (!line->empty() && line->back() == '\n') break;
    }
    return !line->empty();
}

// The first whitespace-delimited word of a line; empty when there is none.
std::string first_token(const std::string& line) {
    static const char blanks[] = " \t\n\v\f\r";
    const size_t from = line.find_first_not_of(blanks);
    if (from == std::string::npos) return std::string();
    return line.substr(from, line.find_first_of(blanks, from) - from);
}

// Channel name of a property: the first prlen - 1 characters of prname.
char* property_channel_name(const zorv_sprop* p) {
    return p->prname ? strndup(p->prname, size_t(p->prlen - 1)) : nullptr;
}

// Chname of a legacy header as a printable text (the field may be full).
std::string chname_of(const zorv_serv_block_subhead* h) {
    return std::string(h->chname, strnlen(h->chname, sizeof(h->chname)));
}

}  // namespace

zorv_daq_data::~zorv_daq_data() { Clean(); }

void zorv_daq_data::Clean() {
    Status = 0;
    std::free(FileName);
    FileName = nullptr;
    if (Files) {
        for (char* f : *Files) std::free(f);
        delete Files;
        Files = nullptr;
    }
    delete Res;
    Res = nullptr;
    Nfile = 0;
    Nprop = 0;
    Lprop = nullptr;
    if (Reader) {
        Reader->clean_up();
        delete Reader;
        Reader = nullptr;
    }
    std::free(Period);
    std::free(Start);
    std::free(Stop);
    Period = Start = Stop = nullptr;
    Debug = 0;
    Reader_2010 = nullptr;
}

int zorv_daq_data::Init(char* filename, std::vector<zorv_sprop*>* lprop, int debug,
                        zorv_time_id* period, zorv_time_id* start, zorv_time_id* stop) {
    if (!filename) {
        refuse("zorv_daq_data::Init: no input files");
        return -1;
    }
    if (!lprop || lprop->empty()) {
        refuse("zorv_daq_data::Init: no list of properties");
        return -1;
    }
    Clean();
    Res = new std::vector<zorv_channel_entry_long*>();
    Reader = new zorv_daq_reader();
    Reader->clean_up();
    if (Reader->set_synch_mode(ZORV_DAQ_SLICER_SYNCH_MODE_EVID) != 0) {
        refuse("zorv_daq_data::Init: can not synch mode");
        return -11;
    }
    Reader->set_debug(debug);
    if (Reader->set_period(period) != 0) {
        refuse("zorv_daq_data::Init: can not set period");
        return -6;
    }
    if (Reader->set_start_point(start) != 0) {
        refuse("zorv_daq_data::Init: can not set start point");
        return -7;
    }
    if (Reader->set_stop_point(stop) != 0) {
        refuse("zorv_daq_data::Init: can not set stop point");
        return -8;
    }
    Lprop = lprop;
    if (*filename) FileName = strdup(filename);
    const int files = read_file_list();
    if (files != 0) return files;
    if (Nfile < 1) {
        refuse("zorv_daq_data::Init: no data files");
        return -3;
    }
    const int props = add_properties();
    if (props != 0) return props;
    if (Nprop < 1) {
        refuse("zorv_daq_data::Init: no properties");
        return -4;
    }
    if (Reader->start() != 0) {
        refuse("zorv_daq_data::Init: can not start Reader");
        return -5;
    }
    Status = 1;
    return 0;
}

// Enters every data file named by the file list into the reader: one name per
// line, the first token of the line; comments and short or blank lines are
// skipped.
int zorv_daq_data::read_file_list() {
    zorv::sys::unique_file in(FileName ? std::fopen(FileName, "r") : nullptr);
    if (!in) {
        std::cerr << "zorv_daq_data::Init: can not open file " << (FileName ? FileName : "")
                  << std::endl;
        return -2;
    }
    Files = new std::vector<char*>();
    Nfile = 0;
    std::string line;
    while (read_line(in.get(), &line)) {
        if (is_skipped_line(line.c_str())) continue;
        const std::string token = first_token(line);
        if (token.empty()) continue;
        char* name = strdup(token.c_str());
        if (!name || Reader->add_file(name, true) != 0) {
            std::free(name);
            refuse("zorv_daq_data::Init: can not add file");
            return -9;
        }
        Files->push_back(name);
        ++Nfile;
    }
    return 0;
}

// Selects one reader channel per property with a usable name.
int zorv_daq_data::add_properties() {
    Nprop = 0;
    for (const zorv_sprop* p : *Lprop) {
        if (!p || p->prlen <= 2) continue;
        std::unique_ptr<char, decltype(&std::free)> name(property_channel_name(p), &std::free);
        daq_channel_entry entry{};
        entry.name = name.get();
        entry.prms.start = entry.prms.inc = entry.prms.length = entry.prms.func = -1;
        if (Reader->add_channel(&entry) != 0) {
            refuse("zorv_daq_data::Init: can not add channel");
            return -10;
        }
        ++Nprop;
    }
    return 0;
}

int zorv_daq_data::GetData() {
    if (Status != 1) {
        std::cerr << "zorv_daq_data::GetData: wrong status= " << Status << std::endl;
        return -1;
    }
    if (Reader->get_data(nullptr, Res, ZORV_DAQ_READ_CHAN_EVENT_NEXT) != 0) {
        refuse("zorv_daq_data::GetData: data are not read");
        return -2;
    }
    if (Res->empty()) {
        std::cerr << "zorv_daq_data::GetData: wrong data size= " << 0 << std::endl;
        return -2;
    }
    return 0;
}

// ---------------------------------------------------------------------------
// Dumps.
// ---------------------------------------------------------------------------

bool zorv_daq_data::has_results() const { return Status == 1 && Res && !Res->empty(); }

namespace {

// Calls f(i, entry, legacy block) for every entry of the list that has a
// channel header.
template <class F>
void for_each_block(const std::vector<zorv_channel_entry_long*>& res, F f) {
    for (size_t i = 0; i < res.size(); ++i) {
        const zorv_channel_entry_long* e = res[i];
        if (!e) continue;
        const legacy_block b(hl::at_address<void>(e->sbchdata[0].chhd));
        if (b) f(int(i), e, b);
    }
}

}  // namespace

void zorv_daq_data::PrintFiles() {
    if (!Files) return;
    std::cout << "zorv_daq_data: Nfile= " << Nfile << " = " << Files->size() << " Files "
              << static_cast<const void*>(Files) << std::endl;
    for (size_t i = 0; i < Files->size(); ++i)
        std::cout << i << ": " << ((*Files)[i] ? (*Files)[i] : "") << std::endl;
}

void zorv_daq_data::PrintProp() {
    if (!Lprop) return;
    std::cout << "zorv_daq_data: Nprop= " << Nprop << " = " << Lprop->size() << " Lprop "
              << static_cast<const void*>(Lprop) << std::endl;
    for (size_t i = 0; i < Lprop->size(); ++i) {
        const zorv_sprop* p = (*Lprop)[i];
        if (!p) continue;
        std::cout << i << ": " << (p->name ? p->name : "") << " len " << p->len << " "
                  << (p->prname ? p->prname : "") << " prlen " << p->prlen << " nmemb "
                  << p->nmemb << " dtype " << p->dtype << std::endl;
    }
}

void zorv_daq_data::PrintHeader() {
    if (!has_results()) return;
    const zorv_channel_entry_long* e = (*Res)[0];
    const zorv_eventheader* h = hl::event_header_of(e);
    if (!h) return;
    std::cout << "zorv_daq_data::PrintHeader: nprop= " << Res->size() << " event "
              << h->event_number << " time " << e->event_id.time.timeup << " - "
              << e->event_id.time.timelow << " type " << h->event_type << " status "
              << h->status << " Nsvrb " << h->num_svr_block << " len " << h->event_length
              << std::endl;
}

void zorv_daq_data::PrintFast() {
    if (!has_results()) return;
    for_each_block(*Res, [](int i, const zorv_channel_entry_long*, const legacy_block& b) {
        // A sub-channel cut out of a device block carries the device type in
        // the high half of dtype: the block type is the low half.
        const int dtype = b.head()->dtype;
        const int type = b.type();
        if (type < ZORV_BLOCK_BPM || type > ZORV_BLOCK_WSS_COR || type == ZORV_BLOCK_IMAGE) return;
        float start = 0.0f, inc = 1.0f;
        int ndata = 0;
        get_spect_params_for_data_type_2009(b.head(), &start, &inc, nullptr, &ndata, 0);
        // The data pointer is member 0's samples: the start of the channel's
        // data, whatever the entry's position in the list.
        const float* arr = get_pointer_to_data_2009(b.head(), 0);
        std::cout << "  " << i << " fast: " << chname_of(b.head()) << " dtype " << dtype
                  << " error " << b.head()->error << " length " << b.head()->ldata << " start "
                  << start << " inc " << inc << " ndata " << ndata << " arr "
                  << static_cast<const void*>(arr) << std::endl;
    });
}

void zorv_daq_data::PrintNameVal() {
    if (!has_results()) return;
    for_each_block(*Res, [](int i, const zorv_channel_entry_long*, const legacy_block& b) {
        if (b.head()->dtype != ZORV_BLOCK_NAME_VALUE) return;
        float start = 0.0f, inc = 1.0f;
        int ndata = 0;
        get_spect_params_for_data_type_2009(b.head(), &start, &inc, nullptr, &ndata, 0);
        std::cout << "  " << i << " NameValue: " << chname_of(b.head()) << " dtype "
                  << b.head()->dtype << " error " << b.head()->error << " length " << b.head()->ldata
                  << " start " << start << " inc " << inc << " ndata " << ndata << std::endl;
    });
}

void zorv_daq_data::PrintSlow() {
    if (!has_results()) return;
    for_each_block(*Res, [](int i, const zorv_channel_entry_long* e, const legacy_block& b) {
        if (b.type() >= ZORV_BLOCK_BPM) return;
        const int n = get_number_of_upd_channels(b.head(), ZORV_LAYOUT_LEGACY);
        for (int k = 0; k < n; ++k) {
            char* name = nullptr;
            int status = 0;
            time_stamp t{0, 0};
            float value = 0.0f;
            get_update_params(b.head(), k, &name, &status, &t, &value, ZORV_LAYOUT_LEGACY);
            std::cout << "  " << i << " slow: " << (name ? name : "") << " dtype " << b.type()
                      << " stat " << status << " time " << e->event_id.time.timeup << " - "
                      << e->event_id.time.timelow << " value " << value << std::endl;
        }
    });
}

void zorv_daq_data::PrintImage() {
    if (!has_results()) return;
    for_each_block(*Res, [](int i, const zorv_channel_entry_long*, const legacy_block& b) {
        const int dtype = b.head()->dtype;
        uint32_t evnum = 0;
        char text[256] = "";
        if (dtype == ZORV_BLOCK_IMAGE) {
            const auto* head = b.record<zorv_image_frame_head>();
            int x = 0, y = 0, bpp = 0;
            if (head) get_image_params(head, &x, &y, &bpp, &evnum, text);
            std::cout << "  " << i << " image: " << chname_of(b.head()) << " dtype " << dtype
                      << " error " << b.head()->error << " length " << b.head()->ldata << " x " << x
                      << " y " << y << " bpp " << bpp << " ev_num " << evnum << " " << text
                      << std::endl;
        } else if (dtype == ZORV_BLOCK_IMAGE_EXT) {
            const auto* head = b.record<zorv_image_ext_frame_head>();
            zorv_image_ext_frame_head f{};
            if (head) get_image_ext_params(head, &f, &evnum, text);
            std::cout << "  " << i << " image_ext: " << chname_of(b.head()) << " dtype " << dtype
                      << " error " << b.head()->error << " ev_num " << evnum << " len " << f.length
                      << " " << text << std::endl;
            std::cout << "   width " << f.width << " height " << f.height << " aoi_width "
                      << f.aoi_width << " aoi_height " << f.aoi_height << " x_start "
                      << f.x_start << " y_start " << f.y_start << " bpp " << f.bpp << " ebitpp "
                      << f.ebitpp << std::endl;
            std::cout << "   hbin " << f.hbin << " vbin " << f.vbin << " source_format "
                      << f.source_format << " image_format " << f.image_format << " frame "
                      << f.frame << " event " << f.event << " scale_x " << f.scale_x
                      << " scale_y " << f.scale_y << " image_rotation " << f.image_rotation
                      << std::endl;
            std::cout << "   fspare2 " << f.fspare2 << " fspare3 " << f.fspare3 << " fspare4 "
                      << f.fspare4 << " image_flags " << f.image_flags << " ispare2 "
                      << f.ispare2 << " ispare3 " << f.ispare3 << " ispare4 " << f.ispare4
                      << std::endl;
        }
    });
}

void zorv_daq_data::PrintAll() {
    if (Status != 1) return;
    PrintHeader();
    PrintFast();
    PrintNameVal();
    PrintSlow();
    PrintImage();
}

// ---------------------------------------------------------------------------
// Free functions.
// ---------------------------------------------------------------------------

std::vector<char*>* GetFileList(char* dir, char* exps, time_t tstart, time_t tend) {
    std::cout << "GetFileList: dir " << (dir ? dir : "(null)") << " exp "
              << (exps ? exps : "(null)") << " start " << tstart << " end " << tend << std::endl;
    if (!exps) {
        std::cout << "GetFileList: no experiment name" << std::endl;
        return nullptr;
    }
    std::string exp(exps);
    std::cout << "ZORV_DAQ_DATA_RAW_FORMAT= " << 1 << std::endl;
    std::vector<zorv_root_xml_files*> found;
    std::string desc;
    const int ret = get_files_for_period(time_t(uint32_t(tstart)), time_t(uint32_t(tend)), &found,
                                         &desc, &exp, "/daq/zorv/adm", 1);
    std::cout << "ret= " << ret << std::endl;
    for (zorv_root_xml_files* f : found) {
        if (!f) continue;
        for (char* r : f->rfiles) delete[] r;
        delete[] f->xmlfile;
        delete f;
    }
    return nullptr;
}

time_t zorv_daq_time(int year, int month, int day, int hour, int min, int sec) {
    struct tm tm_ {};
    tm_.tm_sec = sec;
    tm_.tm_min = min;
    tm_.tm_hour = hour;
    tm_.tm_mday = day;
    tm_.tm_mon = month - 1;
    tm_.tm_year = year - 1900;
    tm_.tm_isdst = -1;
    const time_t t = mktime(&tm_);
    char text[64] = "";
    if (!ctime_r(&t, text)) std::strcpy(text, "\n");
    std::cout << "zorv_daq_time: " << text << std::endl;
    return t;
}

// High-level data interface on the legacy reader:
//
// - zorv_daq_data: reads a text list of data files and a list of properties
//   (channels) and pulls one event after another into a result list;
// - zorv_daq_getdata: decodes one event's result list channel by channel, in
//   either file layout: headers, slow values, name/value blocks, spectra,
//   regions of interest and images (with conversion to floats);
// - zorv_daq_browser: lists the channels of one legacy file;
// - GetFileList (a run-catalogue probe) and zorv_daq_time.
//
// Refusals go to the standard error stream, dumps to the standard output.
#ifndef ZORV_DAQ_DATA_H
#define ZORV_DAQ_DATA_H

#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include "event_util.h"
#include "zorv_export.h"

class zorv_daq_reader;
class zorv_daq_reader_2010;

// One requested property, built and owned by the caller.
struct zorv_sprop {
    char* name;    // caller's label, printed only
    int len;       // caller's length of name, printed only
    char* prname;  // channel name as the reader parses it ("name[:sub][;nick]")
    int prlen;     // length of prname plus one; properties with prlen <= 2 are skipped
    int nmemb;     // printed only
    int dtype;     // printed only
};

// ---------------------------------------------------------------------------
// Data object.
// ---------------------------------------------------------------------------

class ZORV_EXPORT zorv_daq_data {
public:
    int Status = 0;  // 1 once Init has started the reader
    int Nfile = 0;
    char* FileName = nullptr;             // owned copy of the file-list path
    std::vector<char*>* Files = nullptr;  // owned, with owned names
    int Nprop = 0;
    std::vector<zorv_sprop*>* Lprop = nullptr;  // borrowed
    int Debug = 0;
    zorv_time_id* Period = nullptr;  // owned when set
    zorv_time_id* Start = nullptr;
    zorv_time_id* Stop = nullptr;
    zorv_daq_reader* Reader = nullptr;  // owned
    zorv_daq_reader_2010* Reader_2010 = nullptr;  // never built here
    std::vector<zorv_channel_entry_long*>* Res = nullptr;  // owned vector, borrowed entries

    zorv_daq_data() = default;
    ~zorv_daq_data();
    zorv_daq_data(const zorv_daq_data&) = delete;
    zorv_daq_data& operator=(const zorv_daq_data&) = delete;

    int Init(char* filename, std::vector<zorv_sprop*>* lprop, int debug, zorv_time_id* period,
             zorv_time_id* start, zorv_time_id* stop);
    int GetData();
    void Clean();

    int GetStatus() { return Status; }
    int GetNfile() { return Nfile; }
    int GetNprop() { return Nprop; }
    char* GetFileName() { return FileName; }
    std::vector<char*>* GetFiles() { return Files; }
    std::vector<zorv_sprop*>* GetLprop() { return Lprop; }
    int GetDebug() { return Debug; }
    zorv_time_id* GetPeriod() { return Period; }
    zorv_time_id* GetStart() { return Start; }
    zorv_time_id* GetStop() { return Stop; }
    std::vector<zorv_channel_entry_long*>* GetRes() { return Res; }
    zorv_daq_reader* GetReader() { return Reader; }
    zorv_daq_reader_2010* GetReader_2010() { return Reader_2010; }

    void PrintFiles();
    void PrintProp();
    void PrintHeader();
    void PrintFast();
    void PrintNameVal();
    void PrintSlow();
    void PrintImage();
    void PrintAll();

private:
    int read_file_list();
    int add_properties();
    bool has_results() const;
};

// Diagnostic probe of the run catalogue for a time window; always null.
ZORV_EXPORT std::vector<char*>* GetFileList(char* dir, char* exps, time_t tstart, time_t tend);
// Local-time seconds of a calendar date and time (-1 when not representable).
ZORV_EXPORT time_t zorv_daq_time(int year, int month, int day, int hour, int min, int sec);

// ---------------------------------------------------------------------------
// Event decoder.
// ---------------------------------------------------------------------------

// The decoder's public state; the values given here are those of a decoder
// that holds no event (after construction and after Clean). A copy borrows
// the result list and the headers and payloads it points into, as the
// decoder does, and shares the converted image and the terminated copy of a
// name that fills its field: these live as long as the decoder or a copy
// still holds them.
struct zorv_daq_getdata_state {
    int Status = 0;  // 1: a channel is selected and its headers are set
    std::vector<zorv_channel_entry_long*>* Res = nullptr;  // borrowed
    bool data_2010 = true;  // layout of the selected channel: false legacy, true current
    int Nchan = 0;
    int NFast = 0;
    int NSlow = 0;
    int NImage = 0;
    int Ichan = 0;
    int Nptr = 1;
    int Nmemb = 0;
    int DataType = 0;
    int PropType = 0;  // 2 values, 3 spectra, 4 images, 5 equipment data
    int ChanType = 0;  // 1 fast, 2 slow, 0 unknown
    char* PropName = nullptr;
    zorv_eventheader* EventHeader = nullptr;
    zorv_serv_block_head* SrvbHeader = nullptr;
    zorv_serv_block_subhead* ChanHeader = nullptr;
    zorv_serv_block_head_2010* SrvbHeader_2010 = nullptr;
    zorv_serv_block_subhead_2010* ChanHeader_2010 = nullptr;
    char* Data = nullptr;
    float ImageXstart = 0.0f;
    float ImageXinc = 0.0f;
    int ImageNx = 0;
    float ImageYstart = 0.0f;
    float ImageYinc = 0.0f;
    int ImageNy = 0;
    float* ImageFloat = nullptr;  // the converted image, held by image_

protected:
    std::shared_ptr<float> image_;             // owns ImageFloat's buffer
    std::shared_ptr<std::string> prop_name_;  // owns PropName when it is a copy
};

class ZORV_EXPORT zorv_daq_getdata : public zorv_daq_getdata_state {
public:
    zorv_daq_getdata() = default;
    ~zorv_daq_getdata();
    zorv_daq_getdata(const zorv_daq_getdata&) = delete;
    zorv_daq_getdata& operator=(const zorv_daq_getdata&) = delete;

    void Clean();
    int SetRes(std::vector<zorv_channel_entry_long*>* res);
    int SetHead();

    int SetNextChan();
    int SetChan(int ich);
    int SetFastNext();
    int SetFast(int ich);
    int SetSlowNext();
    int SetSlow(int ich);
    int SetImageNext();
    int SetImage(int ich);
    int SetProp(char* propname);

    int GetMembNumb(char* name);
    char* GetMembName(int imb);
    int GetEventInfo(unsigned* num, int* evtype, unsigned* len, unsigned* tup, unsigned* tlow,
                     int* status, int* nsvrb);
    int GetServBlockInfo(unsigned* tup, unsigned* tlow, int* ltot, int* mpulse, int* tmask,
                         int* status, int* nchan);
    int GetChanInfo(char** name, int* dtype, int* error, int* ldata);
    char* GetString(int, int* len);
    bool GetSlowPrm(float* dt, int* sts, time_t* tml);
    bool GetValNamPrm(zorv_name_value_block** blk, int* id, char** comment, int* ndata,
                      zorv_name_value_channel** data);
    bool GetValNamChan(char** name, float* dt, int imb);
    float GetSingle(int imb);

    // Spectra, regions of interest and images of the selected channel.
    float* GetSpect(int memb);
    int GetSpectPar(float* start, float* inc, float** mean, int* ndata, int ch, int* groups,
                    float* groups_inc, zorv_spect_statistics_2010** stat);
    float GetSpectVal(int imb, int i);
    int GetDataPtrs(char* name, float* dt, float** arr, int subchan);
    int GetDescr();
    int GetRoiPar(void** blk, float* start, float* inc, float** mean, int* ndata, int ch);
    int GetImagePar(int* nframe, int* compr, int* bpp, int* len);
    int GetImageSize(int* xstart, int* xinc, int* nx, int* ystart, int* yinc, int* ny);
    zorv_image_ext_frame_head* GetImageHeader();
    char* GetImage();
    float* ConvertImage();

    void PrintProp(int ich);
    void PrintEvent();

    std::vector<zorv_channel_entry_long*>* GetRes() { return Res; }
    int Get_NFast() { return NFast; }
    int Get_NSlow() { return NSlow; }
    int Get_NImage() { return NImage; }
    int GetNchan() { return Nchan; }
    char* GetPropName() { return PropName; }
    int GetPropType() { return PropType; }
    int GetChanType() { return ChanType; }
    int GetDataType() { return DataType; }
    int GetNmemb() { return Nmemb; }
    zorv_eventheader* GetEventHead() { return EventHeader; }
    zorv_serv_block_head* GetServBlockHead() { return SrvbHeader; }
    zorv_serv_block_head_2010* GetServBlockHead_2010() { return SrvbHeader_2010; }
    zorv_serv_block_subhead* GetChanHead() { return ChanHeader; }
    zorv_serv_block_subhead_2010* GetChanHead_2010() { return ChanHeader_2010; }
    char* GetData() { return Data; }
    float* GetImageFloat() { return ImageFloat; }

private:
    template <class L>
    int set_head_in();
    template <class L>
    void count_entry(const zorv_channel_entry_long* e);
    template <class L>
    bool entry_has_name(const zorv_channel_entry_long* e, const char* name) const;
    template <class F>
    int next_matching(F is_wanted);
    template <class F, class N>
    int nth_matching(int ich, int count, F is_wanted, N next);
    bool selectable(const char* prefix, int* code, int fail) const;
    bool is_fast() const { return ChanType == 1 && PropType != 4; }
    bool is_image() const { return ChanType == 1 && PropType == 4; }
    bool is_slow() const { return ChanType == 2; }
    float member_value(int m);
    void print_spectrum_members();
    char* payload_end() const;

    // Terminated copy of the last name a query handed out, when it fills
    // its field.
    std::string text_copy_;
};

// ---------------------------------------------------------------------------
// Channel browser.
// ---------------------------------------------------------------------------

class ZORV_EXPORT zorv_daq_browser {
public:
    int Status = 0;
    char* FileName = nullptr;           // owned
    zorv_daq_reader* Reader = nullptr;  // owned

    zorv_daq_browser() = default;
    ~zorv_daq_browser();
    zorv_daq_browser(const zorv_daq_browser&) = delete;
    zorv_daq_browser& operator=(const zorv_daq_browser&) = delete;

    int Init(char* filename);
    int GetNchan();
    char* GetChanName(int ich, int* num, int* evtype, int* dtype);
    void ListChan();
    void PrintChan();
    void Clean();

    int GetStatus() { return Status; }
    char* GetFileName() { return FileName; }
    zorv_daq_reader* GetReader() { return Reader; }
};

#endif

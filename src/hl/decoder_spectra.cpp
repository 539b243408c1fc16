// Event decoder: spectra, their parameters and regions of interest.
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

// ---------------------------------------------------------------------------
// Spectra and regions of interest.
// ---------------------------------------------------------------------------

float* zorv_daq_getdata::GetSpect(int memb) {
    if (memb >= Nmemb || memb < 0) {
        std::printf("GetSpect() invalid memb:%d  max: %d\n", memb, Nmemb);
        return nullptr;
    }
    if (!Data) return nullptr;
    return in_layout(*this, [&](auto tag) {
        using L = decltype(tag);
        return member_samples(chan_slot<L>(*this), memb);
    });
}

int zorv_daq_getdata::GetSpectPar(float* start, float* inc, float** mean, int* ndata, int ch,
                                  int* groups, float* groups_inc,
                                  zorv_spect_statistics_2010** stat) {
    if (!Data) return -2;
    put(groups, 1);
    put(groups_inc, 0.0f);
    const bool failed = in_layout(*this, [&](auto tag) {
        using L = decltype(tag);
        return spect_params(chan_slot<L>(*this), start, inc, mean, ndata, groups,
                                groups_inc, stat, ch);
    });
    if (!failed) return 0;
    std::cerr << "zorv_daq_getdata::GetSpectPar: error datatype:" << DataType
              << " data_2010: " << (data_2010 ? 1 : 0) << std::endl;
    return -1;
}

float zorv_daq_getdata::GetSpectVal(int imb, int i) {
    int ndata = 0, groups = 1;
    if (GetSpectPar(nullptr, nullptr, nullptr, &ndata, imb, &groups, nullptr, nullptr) != 0)
        return 0.0f;
    if (groups == 0) groups = 1;
    if (i < 0 || int64_t(i) >= int64_t(groups) * ndata) {
        std::printf("GetSpectVal() index is too big: %d max: %d\n", i, ndata);
        return 0.0f;
    }
    const float* p = GetSpect(imb);
    return p ? p[i] : 0.0f;
}

int zorv_daq_getdata::GetDataPtrs(char* name, float* dt, float** arr, int subchan) {
    if (Status != 1) {
        std::cerr << "zorv_daq_getdata::GetDataPtrs: wrong status= " << Status << std::endl;
        return -1;
    }
    if (!Data) return -2;
    if (name && SetProp(name) <= 0) return 3;
    switch (PropType) {
        case 2:
            if (ChanType == 1) {
                if ((DataType & 0xFFFF) != ZORV_BLOCK_NAME_VALUE) return 3;
                int n = 0;
                zorv_name_value_channel* recs = nullptr;
                if (GetValNamPrm(nullptr, nullptr, nullptr, &n, &recs)) return 2;
                if (subchan < 0 || subchan >= n) return 2;  // no such record
                put(dt, recs[subchan].value);
                return 0;
            }
            {
                float v = 0.0f;
                const bool failed = in_layout(*this, [&](auto tag) {
                    using L = decltype(tag);
                    const auto* upd =
                        selected_block<L>(*this).template record<typename L::upd_block>();
                    if (!Data || !upd) return true;
                    v = upd->upd_ch_data;
                    return false;
                });
                if (failed) return 2;
                put(dt, v);
                return 0;
            }
        case 3: {
            float start = 0.0f, inc = 0.0f;
            int ndata = 0;
            GetSpectPar(&start, &inc, nullptr, &ndata, 0, nullptr, nullptr, nullptr);
            put(arr, GetSpect(subchan));
            return 0;
        }
        case 1:
        case 4: return 3;
        default: return 4;
    }
}

int zorv_daq_getdata::GetDescr() {
    if (!Data) return -2;
    if (!data_2010) return -1;
    return get_spect_code_description_2010(ChanHeader_2010);
}

int zorv_daq_getdata::GetRoiPar(void** blk, float* start, float* inc, float** mean, int* ndata,
                                int ch) {
    const int type = DataType & 0xFFFF;
    const bool roi = type >= ZORV_BLOCK_IMG_ROI1 && type <= ZORV_BLOCK_IMG_ROI3;
    bool failed = false;
    if (!data_2010) {
        if (!ChanHeader) {
            std::cerr << "zorv_daq_getdata::GetRoiPrm: " << Status << " ChanHeader == NULL";
            return -1;
        }
        if (Status != 1 || !roi) {
            std::cerr << "zorv_daq_getdata::GetRoiPrm: " << Status << " DType" << DataType;
            return -1;
        }
        if (!Data) return -2;
        failed = get_spect_params_for_data_type_2009(ChanHeader, start, inc, mean, ndata, ch);
        if (!failed) put(blk, static_cast<void*>(ChanHeader + 1));
    } else {
        if (Status != 1 || !ChanHeader_2010 || !roi) return -1;
        if (!Data) return -2;
        failed = get_spect_params_for_data_type_2010(ChanHeader_2010, start, inc, mean, ndata,
                                                     nullptr, nullptr, nullptr, ch);
        if (!failed) put(blk, static_cast<void*>(ChanHeader_2010 + 1));
    }
    if (!failed) return 0;
    std::cerr << "zorv_daq_getdata::GetSpectPar: error datatype" << DataType << std::endl;
    return -1;
}

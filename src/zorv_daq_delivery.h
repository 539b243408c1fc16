// What the reader delivered for each selected channel: the state of every
// channel at the current event, and over the whole read how many of its
// entries were handed out, carried forward or could not be, and why.
// Shared by both reader layouts; the reader fills these, callers read them.
#ifndef ZORV_DAQ_DELIVERY_H
#define ZORV_DAQ_DELIVERY_H

#include <string>
#include <vector>

#include "event.h"
#include "zorv_export.h"

// The state of one selected channel after a successful get_data.
enum zorv_daq_chan_state {
    ZORV_DAQ_CHAN_FRESH = 0,         // an entry of this event was handed out
    ZORV_DAQ_CHAN_CARRIED = 1,       // a slow value carried forward from an earlier event
    ZORV_DAQ_CHAN_NO_ENTRY = 2,      // the channel has no entry at this event
    ZORV_DAQ_CHAN_NOT_IN_FILE = 3,   // the file of this event does not hold the channel
    ZORV_DAQ_CHAN_DAMAGED = 4,       // the entry's block could not be decoded
    ZORV_DAQ_CHAN_FILE_SKIPPED = 5,  // the channel's file for this event was skipped
};

struct zorv_daq_chan_status {
    int state = ZORV_DAQ_CHAN_NO_ENTRY;  // a zorv_daq_chan_state
    zorv_time_id from{};                 // CARRIED: the event the carried value came with
};

// A file the read passed over, with why.
struct zorv_daq_skipped_file {
    std::string file;
    std::string reason;
};

// One selected channel over the read so far.
struct zorv_daq_chan_delivery {
    std::string channel;        // as selected: the name, or name:sub
    long delivered = 0;         // entries handed out fresh
    long carried = 0;           // events that got a slow value carried forward
    long damaged = 0;           // entries whose block could not be decoded
    long unmatched = 0;         // time synchronisation: entries no event took within the tolerance
    long in_skipped_files = 0;  // entries that lay in skipped files, where they could be counted
};

struct zorv_daq_delivery_report {
    std::vector<zorv_daq_chan_delivery> channels;  // in selection order
    std::vector<zorv_daq_skipped_file> skipped_files;
    double tolerance_us = 0.0;  // time synchronisation's matching tolerance
    // True when nothing was damaged, unmatched or skipped.
    bool complete() const {
        if (!skipped_files.empty()) return false;
        for (const auto& c : channels)
            if (c.damaged || c.unmatched || c.in_skipped_files) return false;
        return true;
    }
};

// A short word for a zorv_daq_chan_state ("fresh", "carried", "no entry",
// "not in file", "damaged", "file skipped"); "unknown" for anything else.
ZORV_EXPORT const char* zorv_daq_chan_state_word(int state);

#endif

// How `read` writes its events: JSON lines; a table with one row per event
// and plain columns per channel (scalar values, per-member summaries); or a
// long table with one row per sample.
#ifndef ZORV_CLI_READ_OUTPUT_H
#define ZORV_CLI_READ_OUTPUT_H

#include <memory>
#include <string>
#include <vector>

#include "cli_common.h"

namespace zorv_cli {

// One selected channel as the output names it.
struct output_channel {
    std::string key;    // the record's key for it
    std::string units;  // from its description, empty when none
    json example;       // a decoded value of it (null when none): fixes its table columns
};

class event_output {
public:
    // `format` json ignores `samples`; a table with `samples` is the long form.
    event_output(table_format format, bool samples, std::vector<output_channel> channels);
    ~event_output();
    event_output(const event_output&) = delete;
    event_output& operator=(const event_output&) = delete;

    // `record` is {"event", "time", "channels": {key: value}}; `states` holds
    // the state word of each channel in the order given to the constructor.
    void write(const json& record, const std::vector<std::string>& states);
    // False when a value had no column in the table (reported on standard error).
    bool complete() const;

private:
    struct impl;
    std::unique_ptr<impl> impl_;
};

}  // namespace zorv_cli

#endif

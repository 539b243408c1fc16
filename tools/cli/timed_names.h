// The reader orders files and fits them to a time window by the start time
// in their names ("..._20101004T120000.raw"). A file renamed without it is
// given one: a link named with the time of its first event, in a private
// directory that goes away with this object.
#ifndef ZORV_CLI_TIMED_NAMES_H
#define ZORV_CLI_TIMED_NAMES_H

#include <map>
#include <memory>
#include <string>

#include "event.h"

namespace zorv_cli {

class timed_names {
public:
    // `path` itself when its name carries a start time, else a link to it
    // named with `first`; `path` too when no link can be made (the reader
    // then says what is wrong).
    std::string name_for(const std::string& path, const time_stamp& first);
    // The path the user gave for a name made here, else `name` itself.
    std::string original(const std::string& name) const;

private:
    // Removes the link directory with the links in it.
    struct remove_dir {
        void operator()(std::string* dir) const;
    };
    std::unique_ptr<std::string, remove_dir> dir_;  // made on the first link
    std::map<std::string, std::string> given_;
};

}  // namespace zorv_cli

#endif

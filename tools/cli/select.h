// Channel selection as the user writes it: NAME, NAME:MEMBER (member name
// or number), NAME...;NICK, and globs over names (BPM*). Each selector is
// checked against the channels of the files, with the valid members or the
// closest names offered when it does not fit.
#ifndef ZORV_CLI_SELECT_H
#define ZORV_CLI_SELECT_H

#include <string>
#include <vector>

#include "cli_common.h"

namespace zorv_cli {

// One channel as the files' dictionaries and descriptions give it.
struct known_channel {
    std::string name;
    int type = 0;          // block type code of its entries (0 unknown)
    int members = 0;       // members of its device (0: one value, no members)
    std::string units;     // from its description, empty when none
    std::vector<std::string> member_names;
};

// Every channel of the files, in the order first met (a file whose tables
// cannot be loaded adds nothing; the reader reports it).
std::vector<known_channel> known_channels(const std::vector<std::string>& files, file_layout l);

// A checked selection: the text the reader takes ("NAME[:N][;NICK]") and the
// key the output names it by.
struct chosen_channel {
    std::string request;
    std::string key;
    const known_channel* channel = nullptr;
    int member = -1;  // the member cut out of the device, -1 for all
};

// Resolves the user's selectors; every channel once, in the order asked.
// False with the message in `why` for a selector that fits no channel or
// names no member of its channel.
bool choose_channels(const std::vector<std::string>& selectors, const std::vector<known_channel>& known,
                     std::vector<chosen_channel>* out, std::string* why);

// Up to three of `candidates` closest to `name` (by edits, ignoring case),
// closest first; none when nothing is close.
std::vector<std::string> closest_names(const std::string& name, const std::vector<std::string>& candidates);
// "did you mean A, B?" for the names closest to `name`, or "" when none is close.
std::string did_you_mean(const std::string& name, const std::vector<std::string>& candidates);

}  // namespace zorv_cli

#endif

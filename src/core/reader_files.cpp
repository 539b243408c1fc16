// zorv::reader: the list of files to read: adding a file by name or through
// the data paths, removing, ordering, and checking their tables.
#include <sys/stat.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>

#include "core/reader_parts.h"

namespace zorv {

// ===================== file list =====================

template <class L>
void reader<L>::free_files() {
    for (char* f : files) std::free(f);
    files.clear();
}

template <class L>
int reader<L>::insert_path(char* path, bool append) {
    if (append)
        files.push_back(path);
    else
        files.insert(files.begin(), path);
    return set_error(ZORV_DAQ_READER_OK);
}

// Whether a path found in the search may be taken: it exists and, where the
// layout checks it, is no longer being written.
template <class L>
bool reader<L>::accept_path(const char* path) const {
    bool exists = false;
    const bool closed = reader_detail::closed_long_enough(path, &exists);
    if (!L::text::check_close_time) {
        if (!exists && debug > 0) std::printf(L::text::not_found_direct, path);
        return exists;
    }
    if (reader_detail::close_time_ignored()) return exists;
    if (closed) return true;
    if (debug > 0) std::printf(L::text::not_found_direct, path);
    if (exists) std::printf("%s::add_file() file %s skipped (not closed)\n", L::text::reader, path);
    return false;
}

template <class L>
void reader<L>::note_skipped(const char* path, const char* reason) {
    for (const auto& k : skipped_files_)
        if (k.file == path) return;
    std::printf("Skipping file %s: %s\n", path, reason);
    skipped_files_.push_back({path, reason});
}

// Looks for a bare name in the search list; on success the accepted path is
// stored through `found`.
template <class L>
int reader<L>::find_in_search_list(const char* candidate, char** found) {
    std::string list = data_path_list;
    if constexpr (L::text::search_catalogue_dir) {
        char dir[1024] = {0};
        int size = sizeof dir;
        if (get_pnfs_dir(request.exp_name, candidate, dir, &size, 0) == 0) {
            dir[sizeof dir - 1] = '\0';
            size_t n = std::strlen(dir);
            if (n > 0 && dir[n - 1] == '/') dir[n - 1] = '\0';
            list += ':';
            list += dir;
        }
    }
    if (std::strchr(request.ddir, ':')) list = request.ddir;

    size_t pos = 0;
    while (pos <= list.size()) {
        size_t end = list.find(':', pos);
        if (end == std::string::npos) end = list.size();
        const std::string dir = list.substr(pos, end - pos);
        pos = end + 1;
        if (dir.empty()) continue;
        char* path = reader_detail::heap_join(dir.c_str(), candidate, "/");
        if (!path) {
            std::printf("%s::add_file() faile to allocate file buffer of %d bytes\n", L::text::reader,
                        int(dir.size() + std::strlen(candidate) + 1));
            return ZORV_DAQ_READER_INTERN_ERROR;
        }
        if (accept_path(path)) {
            *found = path;
            return ZORV_DAQ_READER_OK;
        }
        std::free(path);
    }
    if (debug != 0 || L::text::reports_without_debug)
        std::printf("%s::add_file() file %s not found in any default data path %s\n", L::text::reader,
                    candidate, list.c_str());
    return ZORV_DAQ_READER_FILES_NOT_FOUND;
}

// Turns a file name into the path of an accepted file (a heap string stored
// through `path`), or a status. A failed allocation of the candidate empties
// the file list.
template <class L>
int reader<L>::resolve_file(const char* name, char** path) {
    using T = typename L::text;
    const bool bare = std::strchr(name, '/') == nullptr;
    const bool ddir_set = request.ddir[0] != '\0';
    const bool ddir_list = std::strchr(request.ddir, ':') != nullptr;
    char* cand = nullptr;
    if (bare && ddir_set && !ddir_list) {
        const size_t n = std::strlen(request.ddir);
        cand = reader_detail::heap_join(request.ddir, name, request.ddir[n - 1] == '/' ? "" : "/");
    } else {
        cand = reader_detail::heap_copy(name);
    }
    if (!cand) {
        std::printf(ddir_list ? "Failed to malloc for file: %s\n" : T::candidate_malloc, name);
        free_files();
        return ZORV_DAQ_READER_INTERN_ERROR;
    }
    std::unique_ptr<char, free_path> owned(cand);

    if (std::strchr(cand, '/') == nullptr && (!ddir_set || ddir_list)) return find_in_search_list(cand, path);

    const bool accepted = (T::check_close_time && reader_detail::close_time_ignored()) || accept_path(cand);
    if (!accepted) return ZORV_DAQ_READER_FILES_NOT_FOUND;
    *path = owned.release();
    return ZORV_DAQ_READER_OK;
}

template <class L>
int reader<L>::add_file(const char* name, bool append) {
    if (reader_detail::empty_text(name)) return set_error(ZORV_DAQ_READER_INV_PARAM);
    if (slicer) return set_error(ZORV_DAQ_READER_NOT_ALLOWED);
    char* path = nullptr;
    const int r = resolve_file(name, &path);
    if (r != 0) return set_error(r);
    return insert_path(path, append);
}

template <class L>
int reader<L>::remove_file(const char* part) {
    if (reader_detail::empty_text(part)) return set_error(ZORV_DAQ_READER_INV_PARAM);
    if (slicer) return set_error(ZORV_DAQ_READER_NOT_ALLOWED);
    int found = -1;
    for (size_t i = 0; i < files.size(); ++i) {
        if (!std::strstr(files[i], part)) continue;
        found = static_cast<int>(i);
        if (!L::text::removes_last_match) break;
    }
    if (found < 0) return set_error(ZORV_DAQ_READER_FILES_NOT_FOUND);
    std::free(files[found]);
    files.erase(files.begin() + found);
    return set_error(ZORV_DAQ_READER_OK);
}

template <class L>
void reader<L>::sort_my_files() {
    sort_files(&files);
    for (size_t i = 0; i + 1 < files.size();) {
        if (std::strcmp(files[i], files[i + 1]) == 0) {
            std::free(files[i]);
            files.erase(files.begin() + i);
        } else {
            ++i;
        }
    }
}

// Checks the files' tables for the selected channels: BAD_FILE_FORMAT when
// no file can be read, NOT_FOUND when a selected channel is in no file (one
// missing from some files only is read from the others).
template <class L>
int reader<L>::check_files_tables() {
    if (files.empty()) return set_error(ZORV_DAQ_READER_OK);
    std::vector<bool> found(chans.size(), false);
    size_t missing = chans.size();
    bool readable = false;
    for (size_t k = 0; k < files.size() && (!readable || missing > 0); ++k) {
        get_tables.clean_up();
        if (get_tables.get_all_tables(files[k], 0, &chans) != 0) continue;
        readable = true;
        for (size_t c = 0; c < chans.size(); ++c) {
            typename L::cdt_entry* e = nullptr;
            if (found[c] || L::find_channel_by_name(get_tables.get_cdt_table(), chans[c], &e) < 0) continue;
            found[c] = true;
            --missing;
        }
    }
    get_tables.clean_up();
    if (!readable) return set_error(ZORV_DAQ_READER_BAD_FILE_FORMAT);
    return set_error(missing > 0 ? ZORV_DAQ_READER_NOT_FOUND : ZORV_DAQ_READER_OK);
}

// The span of a file's events, first to last in its event index, in
// microseconds; false when its index cannot be read.
template <class L>
bool reader<L>::file_span(const char* path, double* first, double* last) {
    get_tables.clean_up();
    inspected_path_.reset();
    const bool ok = get_tables.get_all_tables(const_cast<char*>(path), 0, nullptr) == 0 &&
                    reader_detail::eit_span(get_tables.get_eit_table(), first, last);
    get_tables.clean_up();
    return ok;
}

template <class L>
int reader<L>::init(std::vector<char*>* file_list, std::vector<daq_channel_entry*>* channels) {
    if (!file_list || file_list->empty()) return set_error(ZORV_DAQ_READER_INV_PARAM);
    if (slicer) clean_up();
    skipped_files_.clear();
    // A listed file that cannot be taken is not lost without a word: it is
    // reported skipped, and init's status stays what the other files give.
    for (char* name : *file_list) {
        if (reader_detail::empty_text(name) || add_file(name, true) == ZORV_DAQ_READER_OK) continue;
        struct stat st;
        note_skipped(name, ::stat(name, &st) == 0 ? "still being written" : "not found");
    }
    sort_my_files();
    if (channels && !channels->empty()) {
        const int r = set_channels(channels);
        if (!L::text::checks_tables_after_channels || r != 0) return set_error(r);
    }
    return check_files_tables();
}

// Explicit instantiation of what this file defines, for both layouts.
#define ZORV_READER_FILES(L) \
    template void reader<L>::free_files(); \
    template int reader<L>::insert_path(char* path, bool append); \
    template bool reader<L>::accept_path(const char* path) const; \
    template void reader<L>::note_skipped(const char* path, const char* reason); \
    template int reader<L>::find_in_search_list(const char* candidate, char** found); \
    template int reader<L>::resolve_file(const char* name, char** path); \
    template int reader<L>::add_file(const char* name, bool append); \
    template int reader<L>::remove_file(const char* part); \
    template void reader<L>::sort_my_files(); \
    template int reader<L>::check_files_tables(); \
    template bool reader<L>::file_span(const char* path, double* first, double* last); \
    template int reader<L>::init(std::vector<char*>* file_list, std::vector<daq_channel_entry*>* channels);
ZORV_READER_FILES(layout_current)
ZORV_READER_FILES(layout_legacy)
#undef ZORV_READER_FILES


}  // namespace zorv

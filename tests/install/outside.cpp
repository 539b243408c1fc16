// A program outside the project: built only from the installed headers and
// libraries, it loads a file's table of contents and channel dictionary.
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "event_util.h"
#include "zorv_daq_reader_2010.h"

int main(int argc, char** argv) {
    if (argc != 2) return 2;
    int fd = open(argv[1], O_RDONLY);
    if (fd < 0) return 2;
    off_t len = lseek(fd, 0, SEEK_END);
    off_t delta = 0;
    off_t off = zorv_get_page_offset(len, len - 4, &delta);
    void* tail = mmap(nullptr, size_t(len - off), PROT_READ, MAP_SHARED, fd, off);
    if (tail == MAP_FAILED) return 2;
    zorv_file_reference_table_2010* ref = nullptr;
    int rc = get_zorv_file_reference_table_m_2010(static_cast<unsigned char*>(tail),
                                                  size_t(len - off), len, fd, &ref);
    munmap(tail, size_t(len - off));
    if (rc != 0) return 1;
    zorv_chan_dictionary_table_2010* cdt = nullptr;
    rc = zorv_get_channel_dictionary_table_m_2010(len, ref, fd, &cdt);
    if (rc != 0) return 1;
    std::printf("channels %d\n", zorv_cdt_entry_count(cdt));
    std::free(cdt);
    std::free(ref);
    close(fd);

    zorv_daq_reader_2010 reader;  // the reader stack links too
    std::printf("%s\n", reader.error_i2a(0));
    return 0;
}

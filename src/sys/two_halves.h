// Large copies and first touches split over two threads. Reading a camera's
// basket of tens of megabytes, or faulting in its fresh region, is done by
// one thread while the other processor has nothing to do: that thread is
// then what every channel after it waits for. Internal to the project; not
// installed.
#ifndef ZORV_SYS_TWO_HALVES_H
#define ZORV_SYS_TWO_HALVES_H

#include <cerrno>
#include <cstddef>
#include <system_error>
#include <thread>

namespace zorv {
namespace sys {

// Below this a second thread costs more than it saves.
constexpr size_t two_halves_min = size_t(8) << 20;

// Runs part(offset, length) over [0, len): the second half on a thread of its
// own while this thread does the first, or all of it here when len is small
// or no thread can be started. The halves meet on a multiple of `align`.
// True when both parts were; a failed second half leaves its errno here.
template <class Part>
bool in_two_halves(size_t len, size_t align, Part&& part) {
    const size_t half = len / 2 / align * align;
    if (len < two_halves_min || half == 0) return part(size_t(0), len);
    bool second_ok = false;
    int second_errno = 0;
    std::thread helper;
    try {
        helper = std::thread([&] {
            second_ok = part(half, len - half);
            second_errno = errno;
        });
    } catch (const std::system_error&) {
        return part(size_t(0), len);
    }
    const bool first_ok = part(size_t(0), half);
    const int first_errno = errno;
    helper.join();
    errno = first_ok ? second_errno : first_errno;
    return first_ok && second_ok;
}

}  // namespace sys
}  // namespace zorv

#endif

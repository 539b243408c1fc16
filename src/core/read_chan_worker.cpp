// zorv::read_chan: the decoding workers (take an entry, decode it without
// a lock, publish it), their number and launch, and decoding on the caller's
// thread.
#include <cstdio>

#include "core/read_chan_parts.h"
#include "zorv_daq_read_chan.h"  // the block decompressors

namespace zorv {


template <class L>
int read_chan<L>::choose_thread_count() {
    if (nthreads != 0) return nthreads;
    int n = 3;
    if (cdt->dtype_mask == 0) {
        n = 6;
    } else {
        for (int d = 0; d < 32; ++d) {
            if (!(cdt->dtype_mask & (1u << d))) continue;
            n = std::max(1, get_channel_number(d, nullptr));
            if (d == ZORV_BLOCK_IMAGE || d == ZORV_BLOCK_IMAGE_EXT) n = max_threads;
        }
    }
    if (n != 1) {
        n *= 2;
    } else {
        for (int e = 0; e < 32; ++e) {
            if (!(cdt->ev_mask & (1u << e))) continue;
            const int s = get_event_struct_type(e);
            if (s == ZORV_EV_STRUCT_LOCAL || s == ZORV_EV_STRUCT_ML) {
                n = s == ZORV_EV_STRUCT_LOCAL ? 4 : 2;
                break;
            }
        }
    }
    nthreads = std::min(n, nthreadsmax);
    return nthreads;
}

// Workers are created under mx so that none can free its slot before the
// slot holds its id.
template <class L>
void read_chan<L>::launch_workers() {
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setscope(&attr, PTHREAD_SCOPE_SYSTEM);
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    read_chan_detail::set_worker_stack(attr);
    const int n = std::min(std::min(nthreads, out_total), int(max_threads));
    {
        checked_lock lock(mx);
        for (int s = 0; s < n; ++s) {
            pthread_t t;
            if (pthread_create(&t, &attr, L::worker_entry, this) == 0) {
                tid[s] = t;
            } else {
                printf("failed to start thread %d\n", s);
                signal_master();
            }
        }
    }
    pthread_attr_destroy(&attr);
}

template <class L>
void read_chan<L>::decode_here() {
    bool work;
    {
        checked_lock lock(mx);
        work = out && out_taken < out_total && !stop;
    }
    if (work) worker(*this).run();
}

// ---------------------------------------------------------------------------
// Decompression workers.
// ---------------------------------------------------------------------------

// One entry as a worker decoded it, ready to be published.
template <class L>
struct read_chan<L>::decoded {
    zorv_time_id id{};
    read_chan_detail::buffer evh, sbh, block;
};

// A worker takes entries one at a time, decodes each without a lock and
// publishes it under mx. A block whose data is bad (a position outside its
// basket, a failed conversion or decompression, an unknown compressor, a
// wrong decompressed length) is published without data and the worker goes
// on, so one damaged block costs only its own entry. Only a failed
// allocation ends the worker, leaving its entry unfinished.
template <class L>
class read_chan<L>::worker {
public:
    explicit worker(read_chan& rc) : rc_(rc) {}

    void run() {
        ending why = ending::no_entries;
        {
            // The basket copy goes away (chnb turns null) under mx once the
            // last entry is published, perhaps before this worker got here.
            checked_lock lock(rc_.mx);
            const bool done = rc_.all_done != 0;
            if (!rc_.evh_base || !rc_.sbh_base || (!rc_.chnb && !done)) {
                why = ending::error;
            } else if (!rc_.out) {
                printf("Wrong out from object tid:%lu... exiting\n", id_);
                why = ending::error;
            } else if (!done) {
                open_windows();
            }
        }
        for (int i = 0; why == ending::no_entries && take(i, why);) {
            decoded d;
            if (!decode(i, d)) why = ending::error;
            else if (!publish(i, d)) why = ending::stopped;
        }
        finish(why);
    }

private:
    static constexpr int sh_size = L::subhead_size;
    using subhead = typename L::subhead;
    using buffer = read_chan_detail::buffer;
    using part = typename entry_store::part;
    enum class ending { no_entries, stopped, error };

    // `n` bytes for a part of entry i: its slot when it has room, else the
    // heap; zeroed when asked. Null when memory runs out.
    buffer memory(int i, part p, size_t n, bool zeroed) {
        if (const entry_store* s = rc_.store_) {
            if (unsigned char* at = s->slot(i, p, n)) {
                if (zeroed) std::memset(at, 0, n);
                return buffer(at, read_chan_detail::entry_deleter{&s->region});
            }
        }
        if (zeroed) return read_chan_detail::alloc_zeroed(n);
        return buffer(static_cast<unsigned char*>(std::malloc(n ? n : 1)));
    }

    bool take(int& i, ending& why) {
        checked_lock lock(rc_.mx);
        if (rc_.stop) {
            why = ending::stopped;
            return false;
        }
        if (rc_.out_taken >= rc_.out_total) return false;
        i = rc_.out_taken++;
        return true;
    }

    // False when the reader is being stopped.
    bool publish(int i, decoded& d) {
        auto addr = [](const void* p) { return static_cast<uint64_t>(reinterpret_cast<uintptr_t>(p)); };
        checked_lock lock(rc_.mx);
        zorv_channel_entry_long& e = rc_.out[i];
        e.event_id = d.id;
        unsigned char* block = d.block.release();
        e.sbchdata[0] = {addr(d.evh.release()), addr(d.sbh.release()), addr(block),
                         block ? addr(block + sh_size) : 0};
        if (++rc_.out_done == rc_.out_total) {
            rc_.all_done = 1;
            rc_.release_basket();
            pthread_cond_broadcast(&rc_.exit_cond);
            rc_.signal_master();
        }
        return rc_.stop == 0;
    }

    // False only when memory runs out.
    bool decode(int i, decoded& d) {
        d.evh = memory(i, part::evh, sizeof(zorv_eventheader), true);
        if (!d.evh) {
            printf("Failed to malloc additional event header %lu .. exiting\n", id_);
            return false;
        }
        d.sbh = memory(i, part::sbh, L::sbhead_size, true);
        if (!d.sbh) {
            printf("Failed to malloc additional server block header %lu .. exiting\n", id_);
            return false;
        }
        const zorv_event_chan_ptr_entry* p = rc_.get_data_table_pointer(i);
        if (!p) {
            printf("Failed to obtain pointer to event data pointer %lu\n", id_);
            return true;
        }
        if (!copy_headers(i, *p, d)) return true;
        const unsigned char* src = chn_.at(p->chhd, sh_size);
        if (!src) {
            bad_position(i, "channel sub-header", p->chhd);
            return true;
        }
        subhead h;
        zorv_swap4(src, &h, sh_size / 4);
        zorv_swap4(h.chname, h.chname, sizeof h.chname / 4);
        if (uint32_t(h.error) & ZORV_CHAN_ZIP_FLAG) return decode_zipped(i, *p, h, d);
        return decode_plain(i, *p, h, d);
    }

    // Host-order copies of the event header and the server-block header.
    // False when either position is bad or the event header is not one of
    // the index: the entry then carries its event (see check_event_headers),
    // what could be read (a zeroed header otherwise) and no data.
    bool copy_headers(int i, const zorv_event_chan_ptr_entry& p, decoded& d) {
        // A header that is not an event of the index leaves the entry
        // damaged, at the event the index places there if any.
        d.id = rc_.entry_ids_[size_t(i)];
        const unsigned char* evh = evh_.at(p.evhd, sizeof(zorv_eventheader));
        if (!evh) {
            bad_position(i, "event header", p.evhd);
            return false;
        }
        if (!rc_.header_ok_[size_t(i)]) {
            printf("%s entry %d: event header at %lu is not an event of the event index tid:%lu\n", rc_.chan, i,
                   static_cast<unsigned long>(p.evhd), id_);
            return false;
        }
        zorv_eventheader h;
        zorv_swap4(evh, &h, sizeof h / 4);
        std::memcpy(d.evh.get(), &h, sizeof h);
        d.id = {h.event_number, h.event_time};
        const unsigned char* sbh = sbh_.at(p.sbhd, L::sbhead_size);
        if (!sbh) {
            bad_position(i, "server-block header", p.sbhd);
            return false;
        }
        unsigned char* s = d.sbh.get();
        zorv_swap4(sbh, s, L::sbhead_size / 4);
        unsigned char* name = s + offsetof(typename L::sbhead, server);
        zorv_swap4(name, name, L::server_name_len / 4);
        return true;
    }

    bool decode_plain(int i, const zorv_event_chan_ptr_entry& p, subhead& h, decoded& d) {
        const int t = h.dtype & 0xFFFF;
        if (L::is_update_type(t)) return decode_update(i, p, h, d);
        if (t == ZORV_ENV_BLOCK) return decode_env(i, p, h, d);
        const unsigned char* src = h.ldata >= sh_size ? chn_.at(p.chhd, uint32_t(h.ldata)) : nullptr;
        if (!src) {
            printf("%s entry %d: block length %d does not fit its basket tid:%lu\n", rc_.chan, i, h.ldata, id_);
            return true;
        }
        buffer block = memory(i, part::block, size_t(h.ldata), false);
        if (!block) {
            printf("Failed to malloc working memory (NOTZIPPPED) %lu .. exiting\n", id_);
            return false;
        }
        std::memcpy(block.get(), &h, sh_size);
        if (zorv_convert_data(src + sh_size, block.get() + sh_size, h.dtype, h.ldata - sh_size,
                              read_chan_detail::payload_layout<L>(t)) != 0) {
            printf("Failed to convert_data  %lu .. exiting\n", id_);
            return true;
        }
        d.block = cut(std::move(block), false);
        return true;
    }

    // A slow value: one update record behind the sub-header.
    bool decode_update(int i, const zorv_event_chan_ptr_entry& p, subhead& h, decoded& d) {
        const unsigned char* src = chn_.at(p.data, L::upd_size);
        if (!src) {
            bad_position(i, "update payload", p.data);
            return true;
        }
        buffer block = update_block(i, h);
        if (!block) return false;
        if (zorv_convert_data(src, block.get() + sh_size, h.dtype, L::upd_size) != 0) {
            printf("Failed to convert env  %lu .. exiting\n", id_);
            return true;
        }
        d.block = std::move(block);
        return true;
    }

    // An environment value, delivered as an update record named after the
    // channel.
    bool decode_env(int i, const zorv_event_chan_ptr_entry& p, subhead& h, decoded& d) {
        const unsigned char* src = chn_.at(p.data, sizeof(zorv_env_data_block));
        if (!src) {
            bad_position(i, "environment payload", p.data);
            return true;
        }
        zorv_env_data_block env;
        if (zorv_convert_data(src, &env, h.dtype, sizeof env) != 0) {
            printf("Failed to convert env  %lu .. exiting\n", id_);
            return true;
        }
        buffer block = update_block(i, h);
        if (!block) return false;
        typename L::upd_block u{};
        std::snprintf(u.upd_prop, sizeof u.upd_prop, "%.*s", int(sizeof u.upd_prop - 1), rc_.chan);
        u.upd_ch_status = env.env_ch_status;
        u.upd_ch_time = env.env_ch_time;
        u.upd_ch_data = env.env_ch_data;
        std::memcpy(block.get() + sh_size, &u, sizeof u);
        d.block = std::move(block);
        return true;
    }

    // A zeroed update block with the sub-header in front, typed as an update.
    buffer update_block(int i, subhead h) {
        buffer block = memory(i, part::block, sh_size + L::upd_size, true);
        if (!block) {
            printf("Failed to malloc working memory (UPD) %lu .. exiting\n", id_);
            return block;
        }
        h.ldata = sh_size + L::upd_size;
        h.dtype = L::upd_type;
        std::memcpy(block.get(), &h, sh_size);
        return block;
    }

    bool decode_zipped(int i, const zorv_event_chan_ptr_entry& p, subhead& h, decoded& d) {
        const uint64_t zpos = uint64_t(p.chhd) + sh_size;
        const unsigned char* zsrc = chn_.at(zpos, sizeof(zorv_zip_header));
        if (!zsrc) {
            bad_position(i, "zip header", zpos);
            return true;
        }
        zorv_zip_header z;
        zorv_swap4(zsrc, &z, 3);
        const unsigned char* src = chn_.at(zpos + sizeof z, z.zipp_length);
        if (!src || z.zipp_length > uint32_t(std::numeric_limits<int>::max())) {
            bad_position(i, "compressed data", zpos + sizeof z);
            return true;
        }
        if (!read_chan_detail::plausible_expansion(z.orig_length, z.zipp_length, sh_size)) {
            printf("%s entry %d: original length %u cannot come from %u compressed bytes tid:%lu\n", rc_.chan,
                   i, z.orig_length, z.zipp_length, id_);
            return true;
        }
        const bool zlib = z.zip_flags & 1;
        if (!zlib && !(z.zip_flags & 2)) {
            printf("Unknown unzipper: 0x%x!!! exiting tid:%lu\n", z.zip_flags, id_);
            print_zorv_zip_header(&z);
            return true;
        }
        const size_t room = size_t(z.orig_length) + sh_size;
        buffer block = memory(i, part::block, room, false);
        if (!block) {
            printf("Failed to malloc working memory %lu .. exiting\n", id_);
            return false;
        }
        const int orig = int(z.orig_length);
        h.error = int32_t(uint32_t(h.error) & ~uint32_t(ZORV_CHAN_ZIP_FLAG));
        h.ldata = orig + sh_size;
        std::memcpy(block.get(), &h, sh_size);

        unsigned char* in = const_cast<unsigned char*>(src);
        unsigned char* dst = block.get() + sh_size;
        int n = orig;
        const int r = zlib ? make_zlib(in, int(z.zipp_length), dst, &n)
                           : make_lzo(in, int(z.zipp_length), dst, &n, nullptr);  // LZO1X decodes without work memory
        if (r != 0) {
            printf("Failed to uncompress PID %lu!!!\n", id_);
            return true;
        }
        if (n != orig) {
            printf("Orig size (%d) != unzip size (%d) tid:%lu\n", orig, n, id_);
            return true;
        }
        const int t = h.dtype & 0xFFFF;
        if (const int c = zorv_convert_data(dst, dst, h.dtype, orig, read_chan_detail::payload_layout<L>(t))) {
            if constexpr (L::text::rc_unzipped_convert_failed != nullptr)
                printf(L::text::rc_unzipped_convert_failed, c, long(orig), id_);
            return true;
        }
        d.block = cut(std::move(block), true);
        return true;
    }

    // Cuts the reader's sub-channel out of a device block when the layout's
    // rule asks for it. On success the cut block carries the device type in
    // the high 16 bits of its dtype; on failure the device block is kept.
    buffer cut(buffer block, bool unzipped) {
        const int sub = rc_.subchan;
        subhead h;
        std::memcpy(&h, block.get(), sh_size);
        const int t = h.dtype & 0xFFFF;
        // The members the block itself holds: a generic spectrum's number
        // is its own, not its type's.
        const int n = get_channel_number(t, block.get(), L::payload_selector);
        if (!L::cuts_member(t, n, sub)) return block;
        void* one = nullptr;
        if ((unzipped ? L::cut_unzipped : L::cut_plain)(block.get(), sub, 0, 0, &one)) {
            printf(L::text::rc_cut_failed, rc_.chan, sub);
            return block;
        }
        if (!one) return block;
        auto* cut_block = static_cast<unsigned char*>(one);
        int32_t dtype;
        std::memcpy(&dtype, cut_block + offsetof(subhead, dtype), sizeof dtype);
        dtype |= int32_t(uint32_t(t) << 16);
        std::memcpy(cut_block + offsetof(subhead, dtype), &dtype, sizeof dtype);
        return buffer(cut_block);
    }

    void bad_position(int i, const char* what, uint64_t pos) {
        printf("%s entry %d: %s position %lu lies outside its basket tid:%lu\n", rc_.chan, i, what,
               static_cast<unsigned long>(pos), id_);
    }

    void finish(ending why) {
        if (rc_.debug_level() < 0) {
            int done;
            {
                checked_lock lock(rc_.mx);
                done = rc_.out_done;
            }
            printf("thread: finished %lu  %d  in %f msec\n", id_, done, sw_.millis());
        }
        if (why == ending::error) rc_.signal_master();
        rc_.set_thread_exited(pthread_self());
    }

    void open_windows() {
        const uint32_t n = uint32_t(rc_.len);
        evh_ = read_chan_detail::basket_window(rc_.evhb, rc_.evh_base, rc_.evh_offset, n);
        sbh_ = read_chan_detail::basket_window(rc_.sbhb, rc_.sbh_base, rc_.sbh_offset, n);
        chn_ = read_chan_detail::basket_window(rc_.chnb, rc_.chn_base, rc_.chn_offset, n);
    }

    read_chan& rc_;
    sys::stopwatch sw_;
    const unsigned long id_ = read_chan_detail::thread_id();
    be_reader evh_, sbh_, chn_;
};

template <class L>
void* read_chan<L>::worker_main(void* prm) {
    if (!prm) {
        printf("No object to work with tid:%lu... exiting\n", read_chan_detail::thread_id());
        return nullptr;
    }
    worker(*static_cast<read_chan*>(prm)).run();
    return nullptr;
}

// Explicit instantiation of what this file defines, for both layouts.
#define ZORV_READ_CHAN_WORKER(L) \
    template int read_chan<L>::choose_thread_count(); \
    template void read_chan<L>::launch_workers(); \
    template void read_chan<L>::decode_here(); \
    template void* read_chan<L>::worker_main(void*);
ZORV_READ_CHAN_WORKER(layout_current)
ZORV_READ_CHAN_WORKER(layout_legacy)
#undef ZORV_READ_CHAN_WORKER

}  // namespace zorv

extern "C" void* unzip_thread_2010(void* prm) {
    return zorv::read_chan<zorv::layout_current>::worker_main(prm);
}

extern "C" void* unzip_thread(void* prm) {
    return zorv::read_chan<zorv::layout_legacy>::worker_main(prm);
}

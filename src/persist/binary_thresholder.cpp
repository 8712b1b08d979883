// The Thresholder in the compact binary form, walked from the description
// of its layout; each ring is its length and its values oldest first.
#include <cstdint>

#include "persist/binary_io.hpp"
#include "persist/binary_records.hpp"
#include "persist/binary_state.hpp"
#include "persist/thresholder_records.hpp"

namespace arbolet::persist {

namespace {

using binary::ByteReader;
using binary::ByteWriter;
using threshold::Thresholder;

struct RingCodec {
    template <threshold::Ring Thresholder::*M>
    void write(ByteWriter& w, record::Special<record::RingValues<M>>, const Thresholder& t) {
        const threshold::Ring& ring = t.*M;
        w.var(ring.size());
        for (std::size_t i = 0; i < ring.size(); ++i) w.f64(ring.at(i));
    }
    // The values are refused before allocation when the remaining bytes
    // could not hold them; slot 0 is then the oldest, as the writer put them.
    template <threshold::Ring Thresholder::*M>
    void read(ByteReader& r, record::Special<record::RingValues<M>>, Thresholder& t) {
        threshold::Ring& ring = t.*M;
        ring.values.resize(r.count(r.var(), 64, "values"));
        for (double& v : ring.values) v = r.f64();
        ring.next = 0;
    }
};

}  // namespace

void write_thresholder_payload(ByteWriter& w, const Thresholder& t) {
    binary::write_record<record::ThresholderBytes>(w, t, RingCodec{});
}

void read_thresholder_payload(ByteReader& r, Thresholder& t) {
    binary::read_record<record::ThresholderBytes>(r, t, RingCodec{});
    if (!r.at_end()) r.fail("trailing bytes after the state");
}

}  // namespace arbolet::persist

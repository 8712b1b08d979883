// The Monitor in the compact binary form, walked from the descriptions of
// its records: each forest's and thresholder's own complete binary state
// (header and checksum included) is stored length first.
#include <string>

#include "persist/binary_io.hpp"
#include "persist/binary_records.hpp"
#include "persist/binary_state.hpp"
#include "persist/documents.hpp"
#include "persist/monitor_document.hpp"
#include "persist/monitor_records.hpp"
#include "persist/thresholder_document.hpp"

namespace arbolet::persist {

namespace {

using binary::ByteReader;
using binary::ByteWriter;
namespace mt = monitor_tags;
template <class Tag>
using Special = record::Special<Tag>;

template <class Part, class Write>
void write_parts(ByteWriter& w, const std::vector<Part>& parts, Write write) {
    w.var(parts.size());
    for (const Part& part : parts) {
        const std::string state = write(part);
        w.var(state.size());
        w.bytes(state);
    }
}

template <class Part, class Read>
void read_parts(ByteReader& r, std::vector<Part>& parts, const char* what, Read read) {
    const std::uint64_t n = r.var();
    if (n > 2) throw Inconsistent{std::string("inconsistent state: more than two ") + what + "s"};
    for (std::uint64_t k = 0; k < n; ++k) {
        const std::uint64_t length = r.count(r.var(), 8, what);
        Result<Part> part = read(r.take(static_cast<std::size_t>(length)));
        if (!part) throw Inconsistent{std::string(what) + " " + std::to_string(k) + ": " + part.error().text};
        parts.push_back(std::move(part).value());
    }
}

struct MonitorCodec {
    void write(ByteWriter& w, Special<mt::Direction>, monitor::Direction d) { w.u8(static_cast<std::uint8_t>(d)); }
    void read(ByteReader& r, Special<mt::Direction>, monitor::Direction& d) { d = static_cast<monitor::Direction>(r.u8()); }

    void write(ByteWriter& w, Special<mt::Queue>, const monitor::MonotoneQueue& q) {
        w.var(q.size());
        for (std::size_t i = static_cast<std::size_t>(q.head); i < q.entries.size(); ++i)
            binary::write_record<monitor::Extreme>(w, q.entries[i], *this);
    }
    void read(ByteReader& r, Special<mt::Queue>, monitor::MonotoneQueue& q) {
        q.entries.resize(r.count(r.var(), binary::least_record_bits<monitor::Extreme>(), "range values"));
        q.head = 0;
        for (monitor::Extreme& e : q.entries) binary::read_record<monitor::Extreme>(r, e, *this);
    }

    void write(ByteWriter& w, Special<mt::Forests>, const std::vector<rcf::Forest>& parts) {
        write_parts(w, parts, forest_to_bytes);
    }
    void read(ByteReader& r, Special<mt::Forests>, std::vector<rcf::Forest>& parts) {
        read_parts(r, parts, "forest", forest_from_bytes);
    }
    void write(ByteWriter& w, Special<mt::Thresholders>, const std::vector<threshold::Thresholder>& parts) {
        write_parts(w, parts, thresholder_to_bytes);
    }
    void read(ByteReader& r, Special<mt::Thresholders>, std::vector<threshold::Thresholder>& parts) {
        read_parts(r, parts, "thresholder", thresholder_from_bytes);
    }

    // The compact form has a version of its own in the header.
    void write(ByteWriter&, Special<mt::Format>, const monitor::Monitor&) {}
    void read(ByteReader&, Special<mt::Format>, monitor::Monitor&) {}
};

}  // namespace

void write_monitor_payload(ByteWriter& w, const monitor::Monitor& m) {
    binary::write_record<monitor::Monitor>(w, m, MonitorCodec{});
}

void read_monitor_payload(ByteReader& r, monitor::Monitor& m) {
    binary::read_record<monitor::Monitor>(r, m, MonitorCodec{});
    if (!r.at_end()) r.fail("trailing bytes after the state");
}

}  // namespace arbolet::persist

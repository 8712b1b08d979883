#include "persist/binary_state.hpp"

#include <new>
#include <string>

#include "persist/crc32c.hpp"
#include "persist/documents.hpp"
#include "persist/monitor_document.hpp"
#include "persist/thresholder_document.hpp"
#include "persist/validate.hpp"

namespace arbolet::persist {

namespace {

constexpr char kMagic[4] = {'A', 'R', 'B', 'L'};
constexpr std::size_t kHeaderSize = 20;

enum class Kind : std::uint8_t { Forest = 1, MStream = 2, Thresholder = 3, Monitor = 4 };

const char* kind_name(std::uint8_t kind) {
    switch (kind) {
        case static_cast<std::uint8_t>(Kind::Forest): return "a Forest";
        case static_cast<std::uint8_t>(Kind::MStream): return "an MStream";
        case static_cast<std::uint8_t>(Kind::Thresholder): return "a Thresholder";
        case static_cast<std::uint8_t>(Kind::Monitor): return "a Monitor";
        default: return "an unknown detector kind";
    }
}

// Each kind's layout has a version of its own: the one written is the
// number of readers, reader v - 1 reading version v. A change of layout
// appends a reader (and keeps the earlier ones), so that every state stored
// before still loads; a field added at the end of a layout as absent from
// earlier states needs none.
template <class Engine>
using PayloadReader = void (*)(binary::ByteReader&, Engine&);

constexpr PayloadReader<rcf::Forest> kForestReaders[] = {read_forest_payload};
constexpr PayloadReader<mstream::MStream> kMStreamReaders[] = {read_mstream_payload};
constexpr PayloadReader<threshold::Thresholder> kThresholderReaders[] = {read_thresholder_payload};
constexpr PayloadReader<monitor::Monitor> kMonitorReaders[] = {read_monitor_payload};

template <class Engine, std::size_t N>
constexpr std::uint8_t version_of(const PayloadReader<Engine> (&)[N]) {
    static_assert(N < 256);
    return static_cast<std::uint8_t>(N);
}

// Header: magic (4), version (1), kind (1), two zero bytes, payload length
// (8), CRC-32C of the payload (4); all little-endian.
std::string framed(Kind kind, std::uint8_t version, binary::ByteWriter& payload_writer) {
    std::string& payload = payload_writer.str();
    binary::ByteWriter h;
    h.bytes(std::string_view(kMagic, 4));
    h.u8(version);
    h.u8(static_cast<std::uint8_t>(kind));
    h.u8(0);
    h.u8(0);
    const std::string_view body = std::string_view(payload).substr(kHeaderSize);
    h.u64(body.size());
    h.u32(crc32c(body));
    // The payload was written after a header-sized gap, so the result is
    // the payload's own buffer.
    payload.replace(0, kHeaderSize, h.str());
    return std::move(payload);
}

// The payload of a well-formed header and its version, or an Io error.
Result<std::string_view> unframe(std::string_view data, Kind kind, std::uint8_t latest, std::uint8_t& version) {
    if (data.size() < 4 || data.substr(0, 4) != std::string_view(kMagic, 4))
        return EngineError::io("not a binary detector state (wrong magic number)");
    if (data.size() < kHeaderSize) return EngineError::io("binary state truncated in its header");
    binary::ByteReader h(data.substr(4, kHeaderSize - 4));
    version = h.u8();
    if (version > latest)
        return EngineError::io("binary state format version " + std::to_string(version) +
                               " is newer than this version reads (" + std::to_string(latest) + ")");
    if (version == 0) return EngineError::io("unknown binary state format version 0");
    const std::uint8_t found = h.u8();
    if (found != static_cast<std::uint8_t>(kind))
        return EngineError::io(std::string("binary state holds ") + kind_name(found) + ", not " +
                               kind_name(static_cast<std::uint8_t>(kind)));
    if (h.u8() != 0 || h.u8() != 0) return EngineError::io("binary state header has unknown flags");
    const std::uint64_t length = h.u64();
    const std::uint32_t crc = h.u32();
    const std::string_view payload = data.substr(kHeaderSize);
    if (length != payload.size())
        return EngineError::io("binary state payload has " + std::to_string(payload.size()) + " bytes, its header says " +
                               std::to_string(length) + " (truncated or extended)");
    if (crc32c(payload) != crc) return EngineError::io("binary state checksum mismatch: the data is damaged");
    return payload;
}

template <class Engine, std::size_t N, class Check>
Result<Engine> decode(std::string_view data, Kind kind, const PayloadReader<Engine> (&readers)[N], Check check) {
    std::uint8_t version = 0;
    Result<std::string_view> payload = unframe(data, kind, version_of(readers), version);
    if (!payload) return payload.take_error();
    binary::ByteReader r(payload.value());
    Engine engine;
    try {
        readers[version - 1](r, engine);
    } catch (binary::Fault& f) {
        return EngineError::io("corrupt binary state: " + f.message + " at byte " +
                               std::to_string(f.offset + kHeaderSize));
    } catch (Inconsistent& e) {
        return EngineError::io(e.message);
    }
    std::string problem = check(engine);
    if (!problem.empty()) return EngineError::io(problem);
    return engine;
}

}  // namespace

std::string forest_to_bytes(const rcf::Forest& forest) {
    binary::ByteWriter w;
    std::size_t entries = 0;
    for (const rcf::Sampler& s : forest.samplers) entries += s.size;
    w.str().reserve(kHeaderSize + 64 + forest.point_store.next_free * forest.point_store.dim * 4 +
                    forest.trees.size() * 64 + entries * 24);
    w.str().resize(kHeaderSize);
    write_forest_payload(w, forest);
    return framed(Kind::Forest, version_of(kForestReaders), w);
}

Result<rcf::Forest> forest_from_bytes(std::string_view data) {
    Result<rcf::Forest> f =
        decode<rcf::Forest>(data, Kind::Forest, kForestReaders,
                            [](const rcf::Forest& f) { return find_forest_inconsistency(f, Decoded::Binary); });
    // The reader lays down every box; the forest keeps those it asks for.
    if (f) f.value().set_box_min_points(rcf::kDefaultBoxMinPoints);
    return f;
}

std::string mstream_to_bytes(const mstream::MStream& detector) {
    binary::ByteWriter w;
    w.str().resize(kHeaderSize);
    write_mstream_payload(w, detector);
    return framed(Kind::MStream, version_of(kMStreamReaders), w);
}

Result<mstream::MStream> mstream_from_bytes(std::string_view data) {
    return decode<mstream::MStream>(data, Kind::MStream, kMStreamReaders, find_mstream_inconsistency);
}

std::string thresholder_to_bytes(const threshold::Thresholder& t) {
    binary::ByteWriter w;
    w.str().reserve(kHeaderSize + 96 + 8 * (t.kept.size() + t.recent.size() + t.recent_z.size()));
    w.str().resize(kHeaderSize);
    write_thresholder_payload(w, t);
    return framed(Kind::Thresholder, version_of(kThresholderReaders), w);
}

Result<threshold::Thresholder> thresholder_from_bytes(std::string_view data) {
    Result<threshold::Thresholder> t =
        decode<threshold::Thresholder>(data, Kind::Thresholder, kThresholderReaders, find_thresholder_inconsistency);
    if (t) t.value().sort_kept();
    return t;
}

std::string monitor_to_bytes(const monitor::Monitor& m) {
    binary::ByteWriter w;
    w.str().resize(kHeaderSize);
    write_monitor_payload(w, m);
    return framed(Kind::Monitor, version_of(kMonitorReaders), w);
}

Result<monitor::Monitor> monitor_from_bytes(std::string_view data) {
    return decode<monitor::Monitor>(data, Kind::Monitor, kMonitorReaders, find_monitor_inconsistency);
}

}  // namespace arbolet::persist

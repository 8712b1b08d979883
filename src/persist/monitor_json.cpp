// The Monitor state document, written and read from the descriptions of
// its records.
#include <string>

#include "persist/binary_state.hpp"
#include "persist/documents.hpp"
#include "persist/json_records.hpp"
#include "persist/monitor_document.hpp"
#include "persist/monitor_records.hpp"
#include "persist/thresholder_document.hpp"

namespace arbolet::persist {

using monitor::Monitor;

namespace {

namespace mt = monitor_tags;
template <class Tag>
using Special = record::Special<Tag>;

// Each part is a whole document of its own, read and checked by its reader.
template <class Part, class Read>
void read_parts(json::Reader& r, std::vector<Part>& parts, const char* what, Read read) {
    parts.clear();
    r.read_seq("a sequence", [&] {
        Result<Part> part = read(r.raw_value());
        if (!part) throw Inconsistent{std::string(what) + " " + std::to_string(parts.size()) + ": " + part.error().text};
        if (parts.size() == 2) throw Inconsistent{std::string("inconsistent state: more than two ") + what + "s"};
        parts.push_back(std::move(part).value());
    });
}

template <class Part, class Write>
void write_parts(JsonWriter& w, const std::vector<Part>& parts, Write write) {
    w.ch('[');
    for (std::size_t k = 0; k < parts.size(); ++k) {
        if (k != 0) w.ch(',');
        w.raw(write(parts[k]));
    }
    w.ch(']');
}

struct MonitorCodec {
    void write(JsonWriter& w, Special<mt::Direction>, monitor::Direction d) {
        w.ch('"');
        w.raw(direction_name(d));
        w.ch('"');
    }
    void read(json::Reader& r, Special<mt::Direction>, monitor::Direction& d) {
        if (r.peek_value() != '"') r.fail_invalid_type("a direction name");
        const std::string name(r.read_string());
        if (!direction_from_name(name, d)) r.fail_here("unknown direction `" + name + "`, expected both, up or down");
    }

    void write(JsonWriter& w, Special<mt::Queue>, const monitor::MonotoneQueue& q) {
        w.ch('[');
        for (std::size_t i = static_cast<std::size_t>(q.head); i < q.entries.size(); ++i) {
            if (i != q.head) w.ch(',');
            json::write_record<monitor::Extreme>(w, q.entries[i], *this);
        }
        w.ch(']');
    }
    // Stops storing past the largest window; the consistency check reports it.
    void read(json::Reader& r, Special<mt::Queue>, monitor::MonotoneQueue& q) {
        q.entries.clear();
        q.head = 0;
        r.read_seq("a sequence", [&] {
            monitor::Extreme e{};
            json::read_record<monitor::Extreme>(r, e, *this);
            if (q.entries.size() <= monitor::kMaxSteps) q.entries.push_back(e);
        });
    }

    void write(JsonWriter& w, Special<mt::Forests>, const std::vector<rcf::Forest>& parts) {
        write_parts(w, parts, forest_to_json);
    }
    void read(json::Reader& r, Special<mt::Forests>, std::vector<rcf::Forest>& parts) {
        read_parts(r, parts, "forest", forest_from_json);
    }
    void write(JsonWriter& w, Special<mt::Thresholders>, const std::vector<threshold::Thresholder>& parts) {
        write_parts(w, parts, thresholder_to_json);
    }
    void read(json::Reader& r, Special<mt::Thresholders>, std::vector<threshold::Thresholder>& parts) {
        read_parts(r, parts, "thresholder", thresholder_from_json);
    }

    void write(JsonWriter& w, Special<mt::Format>, const Monitor&) { w.ch('1'); }
    void read(json::Reader& r, Special<mt::Format>, Monitor&) {
        if (r.read_unsigned("u64") != 1) r.fail_here("unknown monitor document format");
    }
};

}  // namespace

std::string monitor_to_json(const Monitor& m) {
    JsonWriter w(4096);
    MonitorCodec codec;
    json::write_record<Monitor>(w, m, codec);
    return std::move(w).take();
}

Result<Monitor> monitor_from_json(std::string_view text) {
    json::Reader r(text);
    Monitor m;
    MonitorCodec codec;
    try {
        json::read_record<Monitor>(r, m, codec);
        r.finish();
    } catch (json::Positioned& e) {
        return EngineError::io(r.describe(e));
    } catch (json::Unpositioned& e) {
        return EngineError::io(r.describe(json::Positioned{e.message, 0}));
    } catch (Inconsistent& e) {
        return EngineError::io(std::move(e.message));
    }
    std::string bad = find_monitor_inconsistency(m);
    if (!bad.empty()) return EngineError::io(std::move(bad));
    return m;
}

}  // namespace arbolet::persist

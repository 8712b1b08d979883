// The compact binary state: a header (magic number, format version, detector
// kind, payload length, CRC-32C of the payload) and one payload per kind.
#pragma once

#include <string>

#include "monitor/monitor.hpp"
#include "mstream/detector.hpp"
#include "persist/binary_io.hpp"
#include "rcf/forest/forest.hpp"
#include "threshold/thresholder.hpp"

namespace arbolet::persist {

// Thrown by a payload reader for a state that decodes but that the system
// could not have produced; the text starts with "inconsistent state: ".
struct Inconsistent {
    std::string message;
};

void write_forest_payload(binary::ByteWriter& w, const rcf::Forest& forest);
void read_forest_payload(binary::ByteReader& r, rcf::Forest& forest);
void write_mstream_payload(binary::ByteWriter& w, const mstream::MStream& detector);
void read_mstream_payload(binary::ByteReader& r, mstream::MStream& detector);
void write_thresholder_payload(binary::ByteWriter& w, const threshold::Thresholder& t);
void read_thresholder_payload(binary::ByteReader& r, threshold::Thresholder& t);
void write_monitor_payload(binary::ByteWriter& w, const monitor::Monitor& m);
void read_monitor_payload(binary::ByteReader& r, monitor::Monitor& m);

}  // namespace arbolet::persist

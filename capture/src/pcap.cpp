// Classic pcap: a file header, then records of a header and the bytes
// captured, all in the writing host's order.
#include "bytes.h"
#include "reader.h"

int pcap_open(capture_reader* reader, bool nanoseconds) {
    std::uint8_t header[20];  // what follows the magic
    int result = reader_read(reader, header, sizeof header, "file header", false);
    if (result != CAPTURE_OK) return result;
    const std::uint16_t major = load_file16(header, reader->swapped);
    if (major != 2)
        return reader_fail(reader, CAPTURE_MALFORMED, "the capture is pcap version %u.%u, which this reader does not know",
                           major, load_file16(header + 2, reader->swapped));
    capture_interface interface{};
    interface.snaplen = load_file32(header + 12, reader->swapped);
    interface.link_type = load_file32(header + 16, reader->swapped) & 0x03ffffff;  // the top bits tell of a frame check sequence
    interface.resolution = nanoseconds ? 9 : 6;
    return reader_add_interface(reader, &interface);
}

int pcap_next_frame(capture_reader* reader, read_frame* frame) {
    reader->record_start = reader->offset;
    std::uint8_t header[16];
    int result = reader_read(reader, header, sizeof header, "record", true);
    if (result != CAPTURE_OK) return result;
    const std::uint32_t seconds = load_file32(header, reader->swapped);
    const std::uint32_t fraction = load_file32(header + 4, reader->swapped);
    const std::uint32_t captured = load_file32(header + 8, reader->swapped);
    const std::uint32_t original = load_file32(header + 12, reader->swapped);
    const capture_interface* interface = &reader->interfaces[0];
    const bool nanoseconds = interface->resolution == 9;
    const std::uint64_t per_second = nanoseconds ? 1000000000 : 1000000;
    // Read as it stands, a fraction of a second or more would move the
    // packet to a later second: a gap in the replay the capture never had.
    if (fraction >= per_second)
        return reader_fail(reader, CAPTURE_MALFORMED,
                           "the capture is malformed: the record at byte %llu gives %lu %s past its second",
                           static_cast<unsigned long long>(reader->record_start), static_cast<unsigned long>(fraction),
                           nanoseconds ? "nanoseconds" : "microseconds");
    result = reader_check_length(reader, "record", captured);
    if (result == CAPTURE_OK) result = reader_make_room(reader, captured);
    if (result == CAPTURE_OK) result = reader_read(reader, reader->block, captured, "record", false);
    if (result != CAPTURE_OK) return result;
    frame->frame = captured_frame{interface->link_type, reader->swapped, reader->block, captured, captured < original};
    frame->time_us = reader_time_us(interface, seconds * per_second + fraction);
    return CAPTURE_OK;
}

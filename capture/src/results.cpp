#include "capture/capture.h"

const char* capture_result_text(int result) {
    switch (result) {
    case CAPTURE_OK: return "ok";
    case CAPTURE_END: return "end of the capture";
    case CAPTURE_NOT_A_CAPTURE: return "not a capture file (pcap or pcapng)";
    case CAPTURE_CUT_SHORT: return "the capture is cut short";
    case CAPTURE_MALFORMED: return "the capture is malformed";
    case CAPTURE_READ_FAILED: return "reading the capture failed";
    case CAPTURE_NO_MEMORY: return "no memory for the capture";
    case CAPTURE_TOO_LARGE: return "the datagram is larger than a UDP length can say";
    case CAPTURE_BAD_ADDRESS: return "source and destination are not both IPv4 or both IPv6";
    case CAPTURE_TOO_MANY_INTERFACES: return "the capture describes more interfaces than the reader keeps";
    default: return "unknown capture result";
    }
}

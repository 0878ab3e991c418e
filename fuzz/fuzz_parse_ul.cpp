// libFuzzer harness of the uplink decoder: the first four bytes are the reception time, the
// rest the payload. Every decoded data record is also written back.

#include "logger.h"
#include "parser_strova5.h"

#include <cstddef>
#include <cstdint>

namespace {
void discard(QtMsgType, const QMessageLogContext&, const QString&) {}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static const bool quiet = [] {
        qInstallMessageHandler(discard);
        log_set_level(LVL_TRC); // format every log line, then drop it
        return true;
    }();
    (void)quiet;
    if (size < 4)
        return 0;
    Radio_ul_input in;
    in.modem_id = 4711;
    in.ts_get = uint32_t(data[0]) << 24 | uint32_t(data[1]) << 16 | uint32_t(data[2]) << 8 | data[3];
    // No copy: the fuzzer's buffer has exactly this size, so any over-read is caught.
    in.payload = QByteArray::fromRawData(reinterpret_cast<const char*>(data + 4), int(size - 4));
    const Parser_ul_app r = parser_strova5::parse_ul_app(in);
    for (const Ul_data_record& d : r.ul_datas)
        if (parser_strova5::stringify_values(r.header, d).size() > 255)
            __builtin_trap();
    return 0;
}

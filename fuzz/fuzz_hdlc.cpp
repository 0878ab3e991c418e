// libFuzzer harness of the transparent channel's frame handling: the input is a TCP stream;
// each byte below 0x10 of the first one picks a read size. Every frame cut, and the whole
// input as one datagram, goes through the frame check and the address rewrite.

#include "api_transparent_channel.h"
#include "logger.h"

#include <cstddef>
#include <cstdint>

namespace {
void discard(QtMsgType, const QMessageLogContext&, const QString&) {}

void frame_ops(const QByteArray& frame)
{
    const uint32_t r = API_transparent_channel::hdlc_check_frame(frame);
    QByteArray rebuilt = frame;
    const int32_t old = API_transparent_channel::hdlc_replace_address(rebuilt, 0x3FFF, true);
    if (r != 0 && (old < 0 || API_transparent_channel::hdlc_check_frame(rebuilt) == 0))
        __builtin_trap(); // a frame that passed must pass again once rebuilt
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static const bool quiet = [] {
        qInstallMessageHandler(discard);
        log_set_level(LVL_TRC);
        return true;
    }();
    (void)quiet;
    // No copy: the fuzzer's buffer has exactly this size, so any over-read is caught.
    const QByteArray all = QByteArray::fromRawData(reinterpret_cast<const char*>(data), int(size));
    frame_ops(all);
    Hdlc_stream stream;
    const int step = size > 0 ? (data[0] & 0x0F) + 1 : 1;
    for (int pos = 0; pos < all.size(); pos += step)
        for (const QByteArray& f : stream.feed(all.mid(pos, step), pos))
            frame_ops(f);
    return 0;
}

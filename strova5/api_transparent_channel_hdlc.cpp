// HDLC frames (frame format type 3) as the transparent channel reads and writes them:
//   7E | format A+S+length(11 bits) | destination | source | control | [HCS | information] | FCS | 7E
// Addresses have 1, 2 or 4 bytes of 7 bits each, bit 0 set in the last one.
#include "api_transparent_channel.h"
#include "hdlc_fcs.h"
#include "log_limiter.h"
#include "logger.h"

#include <QHash>
#include <algorithm>
#include <utility>

namespace {

constexpr uint8_t k_flag = 0x7E;
constexpr int k_max_length = 2047; // the frame length field holds 11 bits
constexpr int k_min_length = 7;    // format, two 1-byte addresses, control, FCS
constexpr int k_max_address = 4;

struct Address
{
    uint32_t value = 0; // kept to 28 bits, four 7-bit groups
    int count = 0;
    bool complete = false; // the byte with bit 0 set was read
};

// Reads address bytes from `pos` up to and including the one with bit 0 set, at most `limit`
// of them, never past the end.
Address read_address(const uint8_t* p, int size, int& pos, int limit)
{
    Address a;
    while (pos < size && a.count < limit) {
        const uint8_t b = p[pos++];
        a.value = ((a.value << 7) | (b >> 1)) & 0x0FFFFFFFu;
        ++a.count;
        if (b & 1) {
            a.complete = true;
            break;
        }
    }
    return a;
}

uint16_t le16(const uint8_t* p)
{
    return uint16_t(p[0] | p[1] << 8);
}

struct Frame_writer
{
    QByteArray out;
    uint16_t fcs = 0xFFFF;
    void put(uint8_t b)
    {
        out.append(char(b));
        fcs = fcs16_update(fcs, b);
    }
    void put_check()
    {
        const uint16_t v = uint16_t(fcs ^ 0xFFFF);
        put(uint8_t(v));
        put(uint8_t(v >> 8));
    }
    void put_address(const Address& a)
    {
        for (int k = a.count - 1; k >= 0; --k) {
            const uint32_t group = k < 5 ? (a.value >> (7 * k)) & 0x7F : 0;
            put(uint8_t(group << 1 | (k == 0 ? 1 : 0)));
        }
    }
};

} // namespace

uint32_t API_transparent_channel::hdlc_check_frame(const QByteArray& frame)
{
    const int size = frame.size();
    if (size < k_min_length + 2 || size > k_max_length + 2) return 0;
    const auto* p = reinterpret_cast<const uint8_t*>(frame.constData());
    if (p[0] != k_flag || p[size - 1] != k_flag || (p[1] & 0xF0) != 0xA0) return 0;
    if (((p[1] & 7) << 8 | p[2]) != size - 2) return 0;
    const int fcs_at = size - 3;
    if (fcs16(p + 1, size_t(fcs_at - 1)) != le16(p + fcs_at)) return 0;

    int pos = 3;
    const Address destination = read_address(p, fcs_at, pos, k_max_address + 1);
    if (!destination.complete || destination.count > k_max_address) return 0;
    const Address source = read_address(p, fcs_at, pos, k_max_address + 1);
    if (!source.complete || source.count > k_max_address) return 0;
    const int header_end = pos + 1; // after the control byte
    if (header_end > fcs_at) return 0;
    if (header_end < fcs_at) {
        // An information field follows the header, behind its own check sequence.
        if (header_end + 2 > fcs_at || fcs16(p + 1, size_t(header_end - 1)) != le16(p + header_end)) return 0;
    }
    return destination.value << 4 | uint32_t(destination.count);
}

int32_t API_transparent_channel::hdlc_replace_address(QByteArray& frame, uint32_t value, bool destination)
{
    const auto* p = reinterpret_cast<const uint8_t*>(frame.constData());
    const int size = frame.size();
    int pos = 0;
    bool segmented = false;
    Address dst, src;
    uint8_t control = 0;
    QByteArray information;

    while (pos < size && p[pos] == k_flag)
        ++pos;
    // Each step needs the one before it; the array may end anywhere.
    do {
        if (pos >= size) break;
        segmented = p[pos++] & 0x08;
        if (pos >= size) break;
        ++pos; // the frame length is rebuilt, not read
        dst = read_address(p, size, pos, k_max_address + 1);
        if (!dst.complete) break;
        src = read_address(p, size, pos, k_max_address + 1);
        if (!src.complete) break;
        if (pos >= size) break;
        control = p[pos++];
        if (size - pos < 2) break;
        pos += 2; // HCS, or the FCS of a frame without information
        const int rest = size - pos;
        if (rest == 2)
            information = frame.mid(pos, 2);
        else if (rest > 2)
            information = frame.mid(pos, rest - 3);
    } while (false);

    if (dst.count > k_max_address || src.count > k_max_address) {
        frame.clear();
        return -1;
    }
    const int length = dst.count + src.count + 5 + (information.isEmpty() ? 0 : information.size() + 2);
    if (length > k_max_length) {
        frame.clear();
        return -1;
    }

    int32_t old = 0;
    Address& chosen = destination ? dst : src;
    if (chosen.count == 2) {
        old = int32_t(chosen.value & 0x7F);
        chosen.value = (chosen.value & ~0x7Fu) | (value & 0x7F);
    } else if (chosen.count == 4) {
        old = int32_t(chosen.value >> 14);
        chosen.value = (chosen.value & 0x3FFF) | (value & 0x3FFF) << 14;
    }

    Frame_writer w;
    w.out.reserve(length + 2);
    w.out.append(char(k_flag));
    w.put(uint8_t(0xA0 | (segmented ? 0x08 : 0) | (length >> 8 & 7)));
    w.put(uint8_t(length & 0xFF));
    w.put_address(dst);
    w.put_address(src);
    w.put(control);
    if (!information.isEmpty()) {
        w.put_check();
        for (char b : information)
            w.put(uint8_t(b));
    }
    w.put_check();
    w.out.append(char(k_flag));
    frame = w.out;
    return old;
}

namespace {

// refused: flags and length frame it, but a check fails.
enum class Start { invalid, refused, valid, undecided };

// What the flag at `start` opens, judged from the bytes at hand: a whole frame that passes every
// check, no frame at all (format type, length, addresses, HCS or FCS wrong), or a frame that
// needs bytes still to come. A start is given up as soon as the bytes at hand disprove it, so
// garbage cannot hold back the frames behind it.
Start judge(const QByteArray& buffer, int start, int& length)
{
    const auto* p = reinterpret_cast<const uint8_t*>(buffer.constData());
    const int size = buffer.size();
    if (start + 2 >= size) return Start::undecided; // the format field is not all here yet
    if ((p[start + 1] & 0xF0) != 0xA0) return Start::invalid;
    length = (p[start + 1] & 7) << 8 | p[start + 2];
    if (length < k_min_length) return Start::invalid;
    const int end = start + length + 1; // the closing flag
    if (end < size) {
        if (p[end] != k_flag) return Start::invalid;
        return API_transparent_channel::hdlc_check_frame(buffer.mid(start, length + 2)) != 0 ? Start::valid
                                                                                             : Start::refused;
    }
    // Part of the frame is here: check the header as far as it goes.
    const int fcs_at = start + length - 1;
    const int bound = std::min(size, fcs_at);
    int pos = start + 3;
    const Address destination = read_address(p, bound, pos, k_max_address + 1);
    if (destination.count > k_max_address || (!destination.complete && pos >= fcs_at)) return Start::invalid;
    if (!destination.complete) return Start::undecided;
    const Address source = read_address(p, bound, pos, k_max_address + 1);
    if (source.count > k_max_address || (!source.complete && pos >= fcs_at)) return Start::invalid;
    if (!source.complete) return Start::undecided;
    const int header_end = pos + 1; // after the control byte
    if (header_end > fcs_at) return Start::invalid;
    if (header_end == fcs_at) return Start::undecided; // no information field: only the FCS is left
    if (header_end + 2 > fcs_at) return Start::invalid;
    if (header_end + 2 > size) return Start::undecided;
    return fcs16(p + start + 1, size_t(header_end - start - 1)) == le16(p + header_end) ? Start::undecided
                                                                                        : Start::invalid;
}

} // namespace

QList<QByteArray> Hdlc_stream::feed(const QByteArray& bytes, qint64 now_ms)
{
    QList<QByteArray> frames;
    if (bytes.isEmpty()) return frames;
    // A lone flag may be the closing flag of the last frame: it opens the next one, if any.
    if (buffer.size() > 1 && now_ms - since_ms > max_age_ms) {
        LOG_LIMITED(LVL_DBG, "hdlc partial frame discarded")
            << "hdlc partial frame of" << buffer.size() << "bytes discarded after" << (now_ms - since_ms)
            << "ms";
        buffer.clear();
    }
    if (buffer.size() <= 1) since_ms = now_ms;
    buffer.append(bytes);

    const int size = buffer.size();
    // Each flag is judged once per call: the look-ahead below and the main search share verdicts.
    QHash<int, std::pair<Start, int>> verdicts;
    auto verdict = [&](int start) {
        auto it = verdicts.constFind(start);
        if (it != verdicts.cend()) return it.value();
        int length = 0;
        const Start s = judge(buffer, start, length);
        verdicts.insert(start, {s, length});
        return std::make_pair(s, length);
    };
    // A start still waiting for bytes is false when a whole valid frame begins inside it: a
    // frame that carried one inside its information field would be a tunnel this channel never
    // sees, while garbage before a frame is common.
    // Asked with rising starts, so one answer serves the starts after it.
    int valid_ahead = -1;   // a valid start the look-ahead found
    int none_beyond = size; // no valid start lies after this one
    auto frame_inside = [&](int start) {
        if (valid_ahead > start) return true;
        if (start >= none_beyond) return false;
        for (int next = buffer.indexOf(char(k_flag), start + 1); next >= 0;
             next = buffer.indexOf(char(k_flag), next + 1)) {
            if (verdict(next).first == Start::valid) {
                valid_ahead = next;
                return true;
            }
        }
        none_beyond = start;
        return false;
    };

    int pos = 0;
    for (;;) {
        const int start = buffer.indexOf(char(k_flag), pos);
        if (start < 0) {
            pos = size;
            break;
        }
        const std::pair<Start, int> v = verdict(start);
        if (v.first == Start::valid) {
            frames << buffer.mid(start, v.second + 2);
            pos = start + v.second + 1; // the closing flag may open the next frame
            continue;
        }
        if (v.first == Start::undecided && !frame_inside(start)) {
            pos = start;
            break;
        }
        if (v.first == Start::refused)
            LOG_LIMITED(LVL_DBG, "hdlc tcp frame refused")
                << "hdlc tcp frame refused" << log_cut(buffer.mid(start, v.second + 2).toHex().toUpper());
        pos = start + 1; // not a frame start after all: this flag goes, the search goes on
    }
    // What is kept is one undecided start, at most one frame's bytes (below max_buffer).
    buffer.remove(0, pos);
    // A start kept from now on is timed from now on.
    if (!frames.isEmpty() || pos > 0) since_ms = now_ms;
    return frames;
}

// libFuzzer harness of the IEC 104 ASDU decoder: the first byte picks the field sizes, the rest is a
// received ASDU. Every element is decoded and encoded again.

#include "iec60870_asdu.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 1 || size > 300) return 0;
    sAppLayerParameters p{1,
                          1,
                          1 + (data[0] & 1),
                          0,
                          1 + ((data[0] >> 1) & 1),
                          1 + ((data[0] >> 2) % 3),
                          (data[0] & 0x20) ? 256 : 249};
    // No copy into a larger buffer: the fuzzer's block has exactly this size, so an over-read shows.
    const int n = int(size - 1);
    uint8_t* bytes = static_cast<uint8_t*>(malloc(size_t(n > 0 ? n : 1)));
    if (n > 0) memcpy(bytes, data + 1, size_t(n));
    Asdu a = asdu_create_from_buffer(&p, bytes, n);
    if (a) {
        (void)asdu_get_cot(a);
        (void)asdu_get_oa(a);
        (void)asdu_get_ca(a);
        (void)asdu_is_broadcast_ca(a);
        for (int index = 0; index <= 127; index++) {
            sInformationObject storage;
            InformationObject o = asdu_get_element_into(a, &storage, index);
            if (o == nullptr) continue;
            Asdu out = asdu_create(&p, false, 3, 0, 1, false, false);
            if (out) {
                asdu_add_object(out, o);
                if (out->header_length + out->payload_size > 249) __builtin_trap();
                asdu_destroy(out);
            }
        }
        asdu_destroy(a);
    }
    free(bytes);
    return 0;
}

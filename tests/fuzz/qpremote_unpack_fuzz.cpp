// Fuzz target of the remote value unpacking: an arbitrary format of valid
// letters over arbitrary data. Unpacking must stay inside the data, give a
// result of 0 or a bad format, and hand out only values the data can hold.
#include <cstdint>
#include <cctype>
#include <cstring>
#include <string>

#include "qperr.h"
#include "qpremote.h"

namespace {

constexpr int max_letters = 12;
constexpr int max_fixed = 64;

struct slot_t {
    alignas(16) unsigned char bytes[max_fixed];
};

// The format from the first bytes: each byte picks a letter (tN takes a
// multiple of 4 up to 64 from its high bits); byte 0xFF ends the format.
std::string make_format(const uint8_t*& data, size_t& size)
{
    static const char letters[] = "ilstvzZb";
    std::string format;
    for (int count = 0; size && count < max_letters; count++) {
        uint8_t pick = *data++;
        size--;
        if (pick == 0xFF) {
            break;
        }
        char letter = letters[pick % 8];
        format += letter;
        if (letter == 't') {
            format += std::to_string(4 * ((pick >> 3) % (max_fixed / 4 + 1)));
        }
    }
    return format;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::string format = make_format(data, size);
    // Exactly the remaining bytes, so that any read past them is seen.
    unsigned char* input = size ? new unsigned char[size] : nullptr;
    if (size) {
        memcpy(input, data, size);
    }
    slot_t slots[2 * max_letters] = {};
    void* p[2 * max_letters];
    for (int i = 0; i < 2 * max_letters; i++) {
        p[i] = slots[i].bytes;
    }
    qp_scratch_pool pool;
    int err = remote_unpack_vals_d(pool.ma(), input, size, format.c_str(), p[0], p[1], p[2], p[3],
                                   p[4], p[5], p[6], p[7], p[8], p[9], p[10], p[11], p[12], p[13],
                                   p[14], p[15], p[16], p[17], p[18], p[19], p[20], p[21], p[22],
                                   p[23]);
    QP_ASSERT(err == 0 || err == err_bad_format);

    // Walk the outputs: lengths fit the input, texts are terminated within
    // them, blobs are released.
    int arg = 0;
    for (size_t f = 0; f < format.size(); f++) {
        char letter = format[f];
        if (letter == 't') {
            while (f + 1 < format.size() && isdigit((unsigned char)format[f + 1])) {
                f++;
            }
        }
        void* out = p[arg++];
        if (letter == 'v') {
            size_t vsize = *(size_t*)p[arg++];
            QP_ASSERT(vsize <= size);
            QP_ASSERT((*(void**)out == nullptr) == (vsize == 0));
        } else if (letter == 'z') {
            char* text = *(char**)out;
            QP_ASSERT(!text || strlen(text) < size);
        } else if (letter == 'b') {
            remote_blob_t* blob = *(remote_blob_t**)out;
            QP_ASSERT(!blob || (blob->size && blob->size <= size));
            remote_blob_release(blob);
        } else if (letter == 's') {
            QP_ASSERT(*(size_t*)out <= 0xFFFFFFFFu);
        }
    }
    delete[] input;
    return 0;
}

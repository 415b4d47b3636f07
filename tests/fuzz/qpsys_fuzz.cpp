// Fuzz target of the path algebra: any text parses or is refused, a
// normalised path is a fixed point, a join holds both parts, and the wide
// forms agree with the UTF-8 ones on the same units.
#include <cstdint>
#include <cstring>
#include <string>

#include "qpsys.h"

namespace {

void check_both_widths(const std::string& text, malloc_i* ma)
{
    std::wstring wide(text.begin(), text.end());
    for (wchar_t& unit : wide)
        unit = static_cast<wchar_t>(static_cast<unsigned char>(unit));
    size_t volume = 0, name_index = 0, ext = 0, w_volume = 0, w_name_index = 0, w_ext = 0;
    int rooted = 0, w_rooted = 0;
    int err = f8_path_parse(text.c_str(), &volume, &rooted, &name_index, &ext);
    int w_err = fw_path_parse(wide.c_str(), &w_volume, &w_rooted, &w_name_index, &w_ext);
    QP_ASSERT(err == w_err && volume == w_volume && rooted == w_rooted);
    QP_ASSERT(name_index == w_name_index && ext == w_ext);
    QP_ASSERT(volume <= name_index && name_index <= text.size() && ext <= text.size());

    char* once = f8_path_normalize(ma, text.c_str());
    wchar_t* w_once = fw_path_normalize(ma, wide.c_str());
    QP_ASSERT(!once == !w_once && (err == 0) == (once != nullptr));
    if (once) {
        char* twice = f8_path_normalize(ma, once);
        QP_ASSERT(twice && strcmp(once, twice) == 0);
        QP_ASSERT(wcslen(w_once) == strlen(once));
        free_d(twice);
    }
    free_d(once);
    free_d(w_once);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    qp_heap_ma_t heap = QP_HEAP_MA_INIT;
    // The text up to the first zero byte is a path; the rest a second one.
    std::string all(reinterpret_cast<const char*>(data), size);
    std::string first = all.substr(0, all.find('\0'));
    std::string second = first.size() < all.size() ? all.substr(first.size() + 1) : "";
    second = second.substr(0, second.find('\0'));
    check_both_widths(first, &heap.vtbl);
    char* joined = f8_path_cat(&heap.vtbl, first.c_str(), second.c_str());
    QP_ASSERT(joined && strlen(joined) <= first.size() + second.size() + 1);
    free_d(joined);
    return 0;
}

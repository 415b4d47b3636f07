// kmodname - prints the name under which the module archive holds a
// precompiled module for a kernel release, as the install steps look for it.
//   kmodname <module name> <kernel release> <machine>
#include <cstdio>

#include "qpinst.h"

int main(int argc, char** argv)
{
    if (argc != 4) {
        fprintf(stderr, "usage: kmodname <module name> <kernel release> <machine>\n");
        return 2;
    }
    qp_heap_ma_t heap = QP_HEAP_MA_INIT;
    char* name = qpinst_precompiled_name(&heap.vtbl, argv[1], argv[2], argv[3]);
    if (!name)
        return 1;
    puts(name);
    free_d(name);
    return 0;
}

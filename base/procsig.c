/*
 * procsig.c - the process-signal pins: one pin per signal number, set up
 * once on first use (by procsig_pin or by the creation of the sync state).
 *
 * Pin 0 is tied unsignalled (no signal); pin procsig_max_signum + 1 is tied
 * signalled and stands for every larger number; FILE_SIGNAL_RESUME starts
 * signalled (the process is running). The setup takes no lock: it only
 * fills the static table, so it may run inside the creation of the sync
 * state. A second caller arriving during the setup spins until it is done.
 */
#include "qpsyncint.h"

qpsync_pin_t procsig_pins[procsig_pin_count];

enum { procsig_pins_none, procsig_pins_busy, procsig_pins_ready };
static int procsig_pins_state;

void procsig_pins_init(void)
{
    int i;

    if (qp_load(&procsig_pins_state) == procsig_pins_ready) {
        return;
    }
    if (!qp_cas(&procsig_pins_state, procsig_pins_none, procsig_pins_busy)) {
        while (qp_load(&procsig_pins_state) != procsig_pins_ready) {
            sync_idle();
        }
        return;
    }
    for (i = 0; i < procsig_pin_count; i++) {
        pin_init(&procsig_pins[i]);
    }
    pin_tie(&procsig_pins[0], 0);
    pin_tie(&procsig_pins[procsig_max_signum + 1], 1);
    procsig_pins[FILE_SIGNAL_RESUME].signalled = 1; /* no wires yet */
    qp_store(&procsig_pins_state, procsig_pins_ready);
}

pin_i* procsig_pin(int n)
{
    QP_ASSERT(n >= 0);
    procsig_pins_init();
    return &procsig_pins[n > procsig_max_signum ? procsig_max_signum + 1 : n].vtbl;
}

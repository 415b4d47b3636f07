// Tests of base/qpsync2.c and base/procsig.c: pins and wires, pin waits,
// pin buffers, relays, pollable wires and the process-signal pins.
#include <gtest/gtest.h>

#include <poll.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "qppin.h"

namespace {

// A wire that counts its handler calls.
struct counting_wire {
    pin_wire_t wire{};
    std::atomic<int> calls{0};
    int sleep_ms = 0;                 // handler delay before completing
    std::atomic<int> completed{0};    // set just before pin_handler_complete

    static void handler(pin_wire_t* wire)
    {
        auto* self = reinterpret_cast<counting_wire*>(wire);
        self->calls++;
        if (self->sleep_ms) {
            thread_wait(self->sleep_ms);
        }
        self->completed = 1;
        pin_handler_complete(wire);
    }
};
static_assert(offsetof(counting_wire, wire) == 0, "the wire comes first");

bool readable(int fd)
{
    pollfd p{fd, POLLIN, 0};
    return poll(&p, 1, 0) == 1;
}

} // namespace

// Attaching to a signalled pin fails and pin_attach_2 runs the handler at
// once; a signal fires each attached wire once and unlinks it.
TEST(QpPin, SignalFiresAttachedWiresOnce)
{
    pin_t pin;
    counting_wire a, b, late;
    pin_init(&pin);
    EXPECT_EQ(pin_i_attach(&pin.vtbl, counting_wire::handler, &a.wire), 1);
    pin_attach_2(&pin.vtbl, counting_wire::handler, &b.wire);
    EXPECT_EQ(pin_poll(&pin), 0);
    pin_signal(&pin);
    pin_signal(&pin);
    EXPECT_EQ(a.calls.load(), 1);
    EXPECT_EQ(b.calls.load(), 1);
    EXPECT_EQ(pin.first_wire, nullptr);
    EXPECT_EQ(pin_i_attach(&pin.vtbl, counting_wire::handler, &late.wire), 0);
    EXPECT_EQ(late.calls.load(), 0);
    pin_attach_2(&pin.vtbl, counting_wire::handler, &late.wire);
    EXPECT_EQ(late.calls.load(), 1);
    EXPECT_EQ(pin_detach_2(&pin.vtbl, &a.wire), 0);
    pin_term(&pin);
}

// Reset is a pulse: it fires the wires attached at that moment and leaves
// the pin unsignalled; a detached wire never fires.
TEST(QpPin, ResetPulsesAndDetachPreventsFiring)
{
    pin_t pin;
    counting_wire fired, detached;
    pin_init(&pin);
    pin_attach_2(&pin.vtbl, counting_wire::handler, &fired.wire);
    pin_attach_2(&pin.vtbl, counting_wire::handler, &detached.wire);
    EXPECT_EQ(pin_detach_2(&pin.vtbl, &detached.wire), 1);
    pin_i_pulse(&pin.vtbl);
    EXPECT_EQ(fired.calls.load(), 1);
    EXPECT_EQ(detached.calls.load(), 0);
    EXPECT_EQ(pin_poll(&pin), 0);
    EXPECT_EQ(pin_i_detach(&pin.vtbl, &fired.wire), 0);

    pin_signal(&pin);
    pin_reset(&pin);
    EXPECT_EQ(pin_poll(&pin), 0);
    pin_term(&pin);
}

// A detach that loses the race against a running handler returns only once
// the handler has completed with the wire.
TEST(QpPin, DetachWaitsForRacingHandler)
{
    for (int round = 0; round < 50; round++) {
        pin_t pin;
        counting_wire w;
        w.sleep_ms = round % 5 == 0 ? 15 : 0;
        pin_init(&pin);
        pin_attach_2(&pin.vtbl, counting_wire::handler, &w.wire);
        std::thread signaller([&] { pin_signal(&pin); });
        if (round % 2) {
            std::this_thread::yield();
        }
        int detached = pin_detach_2(&pin.vtbl, &w.wire);
        EXPECT_EQ(w.calls.load(), detached ? 0 : 1);
        EXPECT_EQ(w.completed.load(), detached ? 0 : 1);
        if (!detached) {
            EXPECT_EQ(w.wire.handler, nullptr);
        }
        signaller.join();
        pin_term(&pin);
    }
}

// Tied pins ignore signal and reset; a tied signalled pin is waited on at
// once; misuse is caught.
TEST(QpPin, TiedPins)
{
    pin_t on{}, off{};
    pin_tie(&on, 1);
    pin_tie(&off, 0);
    pin_reset(&on);
    pin_signal(&off);
    EXPECT_EQ(pin_poll(&on), 1);
    EXPECT_EQ(pin_poll(&off), 0);
    EXPECT_EQ(pin_wait(&on.vtbl, nullptr, -1), 1);
    EXPECT_EQ(pin_wait(&off.vtbl, nullptr, 20), 0);
    EXPECT_EQ(off.first_wire, nullptr);

    EXPECT_DEATH(
        {
            pin_t pin;
            counting_wire w;
            pin_init(&pin);
            pin_attach_2(&pin.vtbl, counting_wire::handler, &w.wire);
            pin_tie(&pin, 1);
        },
        "ASSERT: .*\"!p->first_wire\"");
    EXPECT_DEATH(pin_tie(&on, 0), "ASSERT: .*\"!p->vtbl \\|\\| p->vtbl == &qpsync_pin_vtbl\"");
}

// pin_wait: fired from another thread (1), cancelled (0, also when the cancel
// pin was signalled before), timed out (0); no wire is left behind.
TEST(QpPin, WaitSignalledCancelledTimedOut)
{
    pin_t pin, cancel;
    pin_init(&pin);
    pin_init(&cancel);
    std::thread signaller([&] {
        thread_wait(10);
        pin_signal(&pin);
    });
    EXPECT_EQ(pin_wait(&pin.vtbl, &cancel.vtbl, 5000), 1);
    signaller.join();
    pin_reset(&pin);

    std::thread canceller([&] {
        thread_wait(10);
        pin_signal(&cancel);
    });
    EXPECT_EQ(pin_wait(&pin.vtbl, &cancel.vtbl, -1), 0);
    canceller.join();
    EXPECT_EQ(pin_wait(&pin.vtbl, &cancel.vtbl, -1), 0);
    pin_reset(&cancel);
    EXPECT_EQ(pin_wait(&pin.vtbl, &cancel.vtbl, 20), 0);
    EXPECT_EQ(pin.first_wire, nullptr);
    EXPECT_EQ(cancel.first_wire, nullptr);
    pin_term(&pin);
    pin_term(&cancel);
}

// A buffer of count 2 over three pins fires its output on the second input,
// counting an input that was signalled before at once.
TEST(QpPinBuf, CountsDownToOutput)
{
    pin_t pins[3];
    pin_buf_t buf;
    pin_buf_wire_t wires[3];
    for (auto& p : pins) {
        pin_init(&p);
    }
    pin_signal(&pins[0]);
    pin_buf_init_(&buf, 2);
    for (int i = 0; i < 3; i++) {
        pin_buf_wire_init(&wires[i], &buf, &pins[i].vtbl);
    }
    EXPECT_EQ(pin_i_poll(pin_buf_output(&buf)), 0);
    pin_signal(&pins[2]);
    EXPECT_EQ(pin_i_poll(pin_buf_output(&buf)), 1);
    pin_buf_term_(&buf);
    EXPECT_EQ(pins[1].first_wire, nullptr); // the unfired input was detached
    for (auto& p : pins) {
        pin_term(&p);
    }
    EXPECT_DEATH(pin_buf_init_(&buf, 0), "ASSERT: .*\"signal_at_count > 0\"");
}

// The five-input buffer fires on any input and skips null ones; pin_wait_x_
// returns when one of its pins fires in another thread.
TEST(QpPinBuf, AnyOfFive)
{
    pin_t a, b;
    pin_buf_x_t bufx;
    pin_init(&a);
    pin_init(&b);
    pin_buf_x_init_(&bufx, nullptr, &a.vtbl, nullptr, &b.vtbl, nullptr);
    EXPECT_EQ(pin_i_poll(pin_buf_x_output(&bufx)), 0);
    pin_signal(&b);
    EXPECT_EQ(pin_i_poll(pin_buf_x_output(&bufx)), 1);
    pin_buf_x_term_(&bufx);
    EXPECT_EQ(a.first_wire, nullptr);

    pin_reset(&b);
    std::thread signaller([&] {
        thread_wait(10);
        pin_signal(&a);
    });
    pin_wait_x_(&b.vtbl, nullptr, nullptr, nullptr, &a.vtbl);
    signaller.join();
    EXPECT_EQ(b.first_wire, nullptr);
    pin_term(&a);
    pin_term(&b);
}

// A relay passes its input's firing on; signal-unlock fires the wires of a
// pin whose lock the caller holds.
TEST(QpPin, RelayAndSignalUnlock)
{
    pin_t input, output;
    pin_relay_t relay;
    pin_init(&input);
    pin_init(&output);
    pin_relay_init(&relay, &input.vtbl, &output.vtbl);
    EXPECT_EQ(pin_poll(&output), 0);
    sync_lock(&input.sync);
    qpsync_pin_signal_unlock(&input);
    EXPECT_FALSE(sync_is_locked(&input.sync));
    EXPECT_EQ(pin_poll(&output), 1);
    pin_relay_term(&relay);
    pin_term(&input);
    pin_term(&output);
}

// A pollable wire's descriptor becomes readable when its pin fires; detach
// and release take the byte back, so a recycled wire starts quiet.
TEST(QpPinIoWire, ReadableOnFiringAndQuietWhenRecycled)
{
    pin_t pin;
    pin_init(&pin);
    pin_io_wire_t* iow = pin_io_wire_factory();
    ASSERT_NE(iow, nullptr);
    int fd = pin_io_wire_fd(iow);
    EXPECT_GE(fd, 0);
    EXPECT_EQ(pin_io_wire_fd(nullptr), -1);
    pin_io_wire_attach(iow, &pin.vtbl);
    EXPECT_FALSE(readable(fd));
    pin_signal(&pin);
    EXPECT_TRUE(readable(fd));
    pin_io_wire_detach(iow, &pin.vtbl);
    EXPECT_FALSE(readable(fd));

    // Attached to a signalled pin and released without detaching.
    pin_io_wire_attach(iow, &pin.vtbl);
    EXPECT_TRUE(readable(fd));
    pin_io_wire_release(iow);
    pin_io_wire_t* again = pin_io_wire_factory();
    EXPECT_EQ(again, iow); // same thread, same free list
    EXPECT_FALSE(readable(pin_io_wire_fd(again)));

    // Detached before firing: nothing to read.
    pin_reset(&pin);
    pin_io_wire_attach(again, &pin.vtbl);
    pin_io_wire_detach(again, &pin.vtbl);
    pin_signal(&pin);
    EXPECT_FALSE(readable(pin_io_wire_fd(again)));
    pin_io_wire_release(again);
    pin_term(&pin);
}

TEST(QpPinIoWireDeathTest, ReleasingAnAttachedWire)
{
    EXPECT_DEATH(
        {
            pin_t pin;
            pin_init(&pin);
            pin_io_wire_t* iow = pin_io_wire_factory();
            pin_io_wire_attach(iow, &pin.vtbl);
            pin_io_wire_release(iow);
        },
        "ASSERT: .*\"!iow->attached \\|\\| iow->detached\"");
}

// The process-signal pins: 0 never fires, numbers above 20 share a pin that
// is always signalled, resume starts signalled, the others start reset.
TEST(QpProcsig, InitialPins)
{
    EXPECT_EQ(pin_i_poll(procsig_pin(0)), 0);
    pin_i_signal(procsig_pin(0));
    EXPECT_EQ(pin_i_poll(procsig_pin(0)), 0);
    EXPECT_EQ(procsig_pin(21), procsig_pin(200));
    EXPECT_EQ(pin_i_poll(procsig_pin(99)), 1);
    EXPECT_EQ(pin_i_poll(procsig_pin(FILE_SIGNAL_RESUME)), 1);
    EXPECT_EQ(pin_i_poll(procsig_pin(FILE_SIGNAL_STOP)), 0);
    EXPECT_EQ(procsig_pin(FILE_SIGNAL_STOP), &procsig_pins[1].vtbl);
    EXPECT_EQ(pin_wait(procsig_pin(FILE_SIGNAL_PAUSE), procsig_pin(30), -1), 0);
}

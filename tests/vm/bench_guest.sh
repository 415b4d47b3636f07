# Guest script of the benchmark: loads qptrace, mounts tracefs for
# trace_marker and runs the print benchmark beside its baselines in one boot.
mount -t tracefs nodev /sys/kernel/tracing || echo "vmtest: FAIL tracefs: mount"
if insmod /root/qptrace.ko; then echo "vmtest: PASS load"; else echo "vmtest: FAIL load: insmod"; fi
vm_trace_bench --benchmark_color=false --benchmark_min_time=0.05 --benchmark_repetitions=9 \
  --benchmark_enable_random_interleaving=true --benchmark_report_aggregates_only=true 2>&1 |
  sed -e '/^vmtest: /!s/^/vmtest: INFO /'
if rmmod qptrace; then echo "vmtest: PASS unload"; else echo "vmtest: FAIL unload: rmmod"; fi
exit 0

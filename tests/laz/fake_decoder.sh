#!/bin/sh
# Stands in for laz-decoder.js (through PELMORA_LAZ_DECODER): reads the job,
# writes FAKE_BYTES zero bytes of records, then misbehaves as FAKE_DECODER says.
[ "$FAKE_DECODER" = ignore-job ] && exec sleep 600
cat > /dev/null
head -c "${FAKE_BYTES:-0}" /dev/zero
case "$FAKE_DECODER" in
  fail) echo "laz-decoder: chunk 2 of 3 cannot be decoded: damaged" >&2; exit 1 ;;
  silent-fail) exit 1 ;;
  killed) kill -9 $$ ;;
  stall) exec sleep 600 ;;
  more) printf x ;;
  late-fail) echo "laz-decoder: internal error: late" >&2; exit 5 ;;
esac
exit 0

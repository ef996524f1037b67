#!/usr/bin/env bash
# Writes the seed corpora of the fuzz targets into fuzz/corpus/ from images made by nemftool
# and a hostconfig made by kru itself on the emulated device.
#
#   fuzz/make-corpus.sh BUILD_DIR      (a normal build: bin/kru, bin/nemftool, lib/libflashsim.so)
#
# Every seed is a control prefix (see the head of each fuzz_*.cc) and the bytes it steers.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "$1" && pwd)
out=$top/fuzz/corpus
pki=$top/tests/pki
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

# seed TARGET NAME CONTROL-BYTES-AS-PRINTF FILE: control prefix, then the file.
seed() {
    mkdir -p "$out/$1"
    { printf -- "$3"; cat "$4"; } > "$out/$1/$2"
}
# text TARGET NAME CONTROL-BYTES TEXT: control prefix, then the text as printf gives it.
text() { seed "$1" "$2" "$3" <(printf -- "$4"); }

# ---- images
head -c 700 /dev/urandom > "$tmp/kernel"
head -c 300 /dev/urandom > "$tmp/rootfs"
nemftool=$build/bin/nemftool
$nemftool create -o "$tmp/signed.nemf" --release 2.1.0 --date 1599000000 --build-id R2.1.0 \
    --products MODELA,MODELB --sign-cert "$pki/signer.cert.pem" --sign-key "$pki/signer.key.pem" \
    --krum-line '@kernel,kernel,0,-,-,-,2.1.0,3' --krum-line '@rootfs,rootfs,0,/,squashfs,-,2.1.0,2' \
    --sw kernel:2.1.0:k-2.1.0:"$tmp/kernel" --sw rootfs:2.1.0:r-2.1.0:"$tmp/rootfs"
$nemftool create -o "$tmp/sha512.nemf" --release 1.2.7 --hash sha512 \
    --sign-cert "$pki/signer.cert.pem" --sign-key "$pki/signer.key.pem" \
    --krum-line '@appl,appl,0,/mnt/appl,jffs2,PLAT,-,1' --raw 9:appl:"$tmp/rootfs"
$nemftool create -o "$tmp/plain.nemf" --release 0.0.1 --text "products=X" --sw kernel:0.0.1:x:"$tmp/rootfs"
# control: bit 0 repairs CRCs, bit 1 asks for a Common Name; then the chunking seed.
seed stream_parser signed-whole '\002\001\000\000\000' "$tmp/signed.nemf"
seed stream_parser signed-chunks '\002\123\105\067\001' "$tmp/signed.nemf"
seed stream_parser sha512-skips '\000\021\042\063\104' "$tmp/sha512.nemf"
seed stream_parser plain-repair '\001\377\000\000\000' "$tmp/plain.nemf"

# ---- delta images of the kernel of a second release: control byte (bit 0 a delta body, else an
# image; bit 1 repair), the source's length (4 bytes), the source (a part body), image or body.
{ head -c 300 "$tmp/kernel"; printf 'patched'; tail -c +320 "$tmp/kernel"; } > "$tmp/kernel2"
$nemftool create -o "$tmp/new.nemf" --release 2.2.0 --sw kernel:2.2.0:k-2.2.0:"$tmp/kernel2"
$nemftool delta --from "$tmp/signed.nemf" --to "$tmp/new.nemf" -o "$tmp/delta.nemf" > /dev/null
part() {   # FILE INDEX: the body of content part INDEX, where nemftool info finds it
    read -r off h b < <($nemftool info "$1" | sed -n "s/^part $2 at \([0-9]*\):.*hdr_length \([0-9]*\), body_length \([0-9]*\)$/\1 \2 \3/p")
    tail -c +$((off + h + 1)) "$1" | head -c "$b"
}
dseed() {   # NAME CONTROL SOURCE-PART FILE
    part "$tmp/signed.nemf" "$3" > "$tmp/src"
    local n=$(stat -c %s "$tmp/src")
    cat "$tmp/src" "$4" > "$tmp/seed"
    seed delta "$1" "$2$(printf '\\%03o' $((n & 255)) $((n >> 8 & 255)) $((n >> 16 & 255)) $((n >> 24)))" "$tmp/seed"
}
part "$tmp/delta.nemf" 1 > "$tmp/body"
dseed image '\000' 3 "$tmp/delta.nemf"
dseed image-repair '\002' 3 "$tmp/delta.nemf"
dseed body '\001' 3 "$tmp/body"
dseed body-other-source '\003' 4 "$tmp/body"

# ---- hostconfig: the record of a provisioned device, as kru saved it
sb=$tmp/sb
mkdir -p "$sb/dev"
kru() { FLASHSIM_ROOT=$sb LD_PRELOAD=$build/lib/libflashsim.so "$build/bin/kru" "$@" >/dev/null 2>&1; }
"$build/bin/flashsim-mkdev" "$sb" 5 262144 65536
"$build/bin/flashsim-mkdev" "$sb" 2 262144 65536
kru initialize
kru partinfo 7 kernel 0x400000 -meta=1.0.100 -metalength=3145728 -metacrc=305419896
kru partinfo 8 rootfs 0x1800000 -fstype=squashfs -mount=/ -meta=1.0.100
kru partinfo 9 kernel 0x400000 -meta=1.2.7
kru partinfo 10 rootfs 0x1800000 -fstype=squashfs -mount=/
kru partinfo 13 appl 0x2000000 -fstype=jffs2 -mount=/mnt/appl
kru partinfo 15 misc 0x100000 -pn=6 -offset=40000 -fstype=jffs2 -mount=/mnt/misc
kru partset 0 SAFESET -refs=7,8,15 -meta=1.0.100
kru partset 1 SET1 -refs=9,10,13,15 -meta=1.2.7
# The image is 24 bytes and the file body_length behind them.
len=$(( 24 + $(od -An -tu4 -j16 -N4 "$sb/dev/mtd5") ))
head -c "$len" "$sb/dev/mtd5" > "$tmp/hostcfg"
seed hostconfig image '\000' "$tmp/hostcfg"
seed hostconfig image-repair '\001' "$tmp/hostcfg"
tail -c +57 "$tmp/hostcfg" | head -c 2964 > "$tmp/record"
seed hostconfig record-body '\002' "$tmp/record"
seed hostconfig record-body-renamed '\006' "$tmp/record"
head -c 100 "$tmp/record" > "$tmp/short"
seed hostconfig short-body '\002' "$tmp/short"
{ cat "$tmp/record"; head -c 1000 /dev/zero; } > "$tmp/long"
seed hostconfig long-body '\002' "$tmp/long"

# ---- release metadata and products line (control bit 7)
text krum two-lines '\024' '#cidx,pool,aux,mount,fstype,platform,version,wts\n2,kernel,0,-,-,-,2.1.0,3\n3,rootfs,0,/,squashfs,-,2.1.0,2\n'
text krum from-part '\002' '-1,appl,0,/mnt/appl,jffs2,PLAT,-,1\n4,misc,7,-,-,-,1.0.3,3\n5,extra,0,-,-,-,-,1\n'
text krum comment-empty '\010' '# release\n\n1,kernel,0,-,-,-,1.2.3,1\n'
# The release header part at the front of the signed image, behind "MODELB" and a NUL.
rh_len=$(( 32 + $(od -An -tu4 -j32 -N4 "$tmp/signed.nemf") ))
{ printf 'MODELB\000'; tail -c +25 "$tmp/signed.nemf" | head -c "$rh_len"; } > "$tmp/model"
seed krum model '\200' "$tmp/model"

# ---- manifest text and Common Name patterns (control bit 0)
d=$(printf %064d 0)
text manifest lines '\000' "0,release,sha256,$d\n2,kernel,sha256,${d}${d}\n3,rootfs,sha512,${d}${d}\n"
text manifest duplicate '\000' "1,a,sha256,$d\n1,b,sha256,$d\n"
text manifest no-newline '\000' "4,p,sha256,$d"
text manifest glob-cn '\001' 'Dravik SATCOM VSAT Terminal *\000Dravik SATCOM VSAT Terminal 42'
text manifest glob-escapes '\001' 'a\\*b?c*\\\000a*bXcdef'

# ---- -pif= column lists (control: table size)
text csv columns '\024' 'setidx,name,bootable,rhdr'
text csv empty-fields '\005' ',,a,'
text csv full '\003' 'a,b,c'

# ---- command lines (control bit 0 / 1: KRU_PRODUCT / KRU_PLATFORM first)
text cmdline install '\000' '-v\000-test\000-minver=1.2.3\000-nemfsize=0x100000\000install\000/tmp/x.nemf\000-1'
text cmdline options '\003' 'PRODUCT\000PLAT\000-cfg=/tmp/a\000-cfgbak=\000-iptos=0x10\000-product=P\000-platform=Q\000-meta=1.2.3\000-plugin=x\000info'
text cmdline partinfo '\000' '-dryrun\000partinfo\0004\000POOL\0000x100\000-offset=100\000-pn=6\000-mount=/mnt/a\000-fstype=jffs2'
text cmdline too-long-env '\001' 'PRODUCTNAMETOOLONGX\000info'

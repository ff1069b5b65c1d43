#!/usr/bin/env bash
# Windows build check: the driver is real Windows kernel code.
#   1. Every source under driver/ compiles for x64 kernel mode against the
#      real DDK headers of Debian's mingw-w64 packages; platform/include is
#      never on that include path.
#   2. Every constant and enumerator of the stand-in headers the driver
#      includes has the value the real headers give it: a source that
#      compiles on both builds must also mean the same on both.
#   3. With --link: vexlink.sys is linked as a native x64 image against the
#      kernel's import libraries and its import table is printed.
set -euo pipefail
cd "$(dirname "$0")/.."

link=false
[[ "${1:-}" == "--link" ]] && link=true

cxx=x86_64-w64-mingw32-g++
sysroot=/usr/x86_64-w64-mingw32
if ! command -v "$cxx" >/dev/null || [[ ! -f "$sysroot/include/ddk/wdm.h" ]]; then
    export DEBIAN_FRONTEND=noninteractive
    apt-get update
    apt-get install -y mingw-w64-x86-64-dev g++-mingw-w64-x86-64
fi

# <ntddk.h>, <wdm.h>, <wdmsec.h> and <usbdlib.h> live in the ddk folder;
# <ntdef.h>, <ntstatus.h>, <usb.h> and <usbioctl.h> in the cross compiler's
# own include folder, which it searches by default.
kernel_flags=(
    -std=c++20
    -D_AMD64_ -D_WIN32_WINNT=0x0601 -DNTDDI_VERSION=0x06010000
    # wdm.h defines its own inline InterlockedBitTestAndSet/Reset after
    # <intrin.h> has defined them; C accepts the second definition, C++ does
    # not. These are <intrin.h>'s own switches for "already defined".
    -D__INTRINSIC_DEFINED_InterlockedBitTestAndSet
    -D__INTRINSIC_DEFINED_InterlockedBitTestAndReset
    -ffreestanding -fno-exceptions -fno-rtti
    -I "$sysroot/include/ddk"
)
# The real IoSetCancelRoutine is a macro that casts the exchanged routine, so
# its usual use as a statement ("IoSetCancelRoutine(irp, nullptr);") is a
# value computed and not used. The host build keeps the warning for the
# driver's own expressions.
driver_flags=("${kernel_flags[@]}" -Wall -Werror -Wno-unused-value -I driver/core -I driver/serial -I driver/scanner)

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

#
# 1. Every driver source against the real headers.
#
# The seam's platform headers must come from the driver kit, never from a
# copy of the stand-in's names somewhere on the driver's own path.
seam_deps=$("$cxx" "${driver_flags[@]}" -M -x c++ driver/core/Portability.h)
if grep -q 'platform/include' <<<"$seam_deps" || ! grep -q "$sysroot/include/ddk/ntddk.h" <<<"$seam_deps"; then
    echo "windows-build-check: <ntddk.h> does not resolve to $sysroot/include/ddk/ntddk.h" >&2
    exit 1
fi
mapfile -t sources < <(find driver -name '*.cpp' | sort)
if ((${#sources[@]} == 0)); then
    echo "windows-build-check: no sources under driver/" >&2
    exit 1
fi
failed=0
for source in "${sources[@]}"; do
    if "$cxx" "${driver_flags[@]}" -fsyntax-only "$source"; then
        echo "ok      $source"
    else
        echo "FAILED  $source"
        failed=$((failed + 1))
    fi
done
if ((failed)); then
    echo "windows-build-check: $failed of ${#sources[@]} driver sources do not compile against the real headers" >&2
    exit 1
fi
echo "windows-build-check: all ${#sources[@]} driver sources compile against the real headers"

#
# 2. The stand-in's constants against the real headers.
#
# The platform headers the driver includes by name, with what they include.
mapfile -t included < <(grep -rhoE '^#include <[A-Za-z0-9_]+\.h>' driver | sed 's/^#include <//; s/>$//' | sort -u |
                        while read -r h; do [[ -f "platform/include/$h" ]] && echo "$h"; done)
printf '#include <%s>\n' "${included[@]}" >"$work/headers.h"
mapfile -t standin_files < <(g++ -std=c++20 -fshort-wchar -I platform/include -MM "$work/headers.h" |
                             tr ' \\' '\n\n' | grep '^platform/include/' | sort -u)

# Object-like macros the stand-in defines, with their bodies as the host
# preprocessor sees them. SIMULATED_NT_PLATFORM is the stand-in's own mark.
g++ -std=c++20 -fshort-wchar -I platform/include -dM -E "$work/headers.h" >"$work/macros"
declare -A body
while read -r _ name rest; do body[$name]=$rest; done < <(grep -vE '^#define [A-Za-z_0-9]+\(' "$work/macros")
declare -A function_like
while read -r name; do function_like[$name]=1; done < <(grep -oE '^#define [A-Za-z_0-9]+\(' "$work/macros" | sed 's/^#define //; s/($//')
mapfile -t defined < <(grep -hoE '^#define [A-Za-z_][A-Za-z0-9_]*( |$)' "${standin_files[@]}" | awk '{print $2}' | sort -u)
names=()
for name in "${defined[@]}"; do
    [[ "$name" == SIMULATED_NT_PLATFORM ]] && continue
    # Only integral constants: a number, a parenthesised or negated
    # expression, the name of another constant or a use of a macro such as
    # CTL_CODE (attribute and keyword macros such as VOID or FORCEINLINE are
    # no values).
    b=${body[$name]-}
    if [[ "$b" =~ ^[-~\(0-9] || ( "$b" =~ ^[A-Z_][A-Z0-9_]*$ && -n "${body[$b]-}" ) ||
          ( "$b" =~ ^([A-Za-z_][A-Za-z0-9_]*)\( && -n "${function_like[${BASH_REMATCH[1]}]-}" ) ]]; then
        names+=("$name")
    fi
done
# Enumerators of every enumeration in those files.
mapfile -t -O "${#names[@]}" names < <(sed 's://.*$::' "${standin_files[@]}" | tr '\n' ' ' |
                                     grep -oE 'enum[^{};]*\{[^}]*\}' | sed 's/^[^{]*{//; s/}$//' | tr ',' '\n' |
                                     sed 's/=.*//; s/[[:space:]]//g' | grep -E '^[A-Za-z_][A-Za-z0-9_]*$')

{
    echo '#include "headers.h"'
    echo '#include <stdio.h>'
    echo '#include <type_traits>'
    echo '// Handle and pointer constants have no value a static_assert can compare.'
    echo 'template <typename T> constexpr bool kIntegral = std::is_integral_v<T> || std::is_enum_v<T>;'
    echo 'int main() {'
    for name in "${names[@]}"; do
        echo "    if constexpr (kIntegral<decltype($name)>)"
        echo "        printf(\"static_assert((long long)($name) == %lldLL, \\\"$name is %lld (0x%llx) in the stand-in\\\");\\n\", (long long)($name), (long long)($name), (unsigned long long)($name) & 0xffffffffULL);"
    done
    echo '}'
} >"$work/values.cpp"
g++ -std=c++20 -fshort-wchar -w -I platform/include -I "$work" "$work/values.cpp" -o "$work/values"
{
    echo '#include "headers.h"'
    "$work/values"
} >"$work/real.cpp"
if ! "$cxx" "${kernel_flags[@]}" -w -fmax-errors=0 -I "$work" -fsyntax-only "$work/real.cpp" 2>"$work/real.log"; then
    grep -E 'error:' "$work/real.log" | sed 's/^.*error: //' >&2
    echo "windows-build-check: constants of the stand-in headers differ from the real ones" >&2
    exit 1
fi
echo "windows-build-check: all $(grep -c "^static_assert" "$work/real.cpp") constants of ${included[*]} have the real values"

#
# 3. With --link: vexlink.sys as a native x64 image.
#
$link || exit 0
# -O2 makes GCC 12 take the header's gs-relative reads (KeGetCurrentThread)
# for accesses through a null pointer; min-pagesize=0 tells it that a small
# constant address may be valid.
object_flags=("${driver_flags[@]}" -O2 --param=min-pagesize=0)
objects=()
for source in "${sources[@]}"; do
    object="$work/$(echo "${source%.cpp}" | tr '/' '_').o"
    "$cxx" "${object_flags[@]}" -c "$source" -o "$object"
    objects+=("$object")
done
image=build-windows/vexlink.sys
mkdir -p "$(dirname "$image")"
# IoCreateDeviceSecure is no kernel export: the driver kit supplies it in a
# static library of its own (wdmsec), which mingw-w64 does not ship, so the
# link reports it unresolved until such a library exists.
# A driver exports nothing; what it imports comes from the kernel's own
# import libraries and nothing else (no C or C++ library).
if ! "$cxx" -nostdlib -shared -Wl,--subsystem,native -Wl,--entry,DriverEntry -Wl,--exclude-all-symbols \
        -Wl,--image-base,0x140000000 -Wl,--file-alignment,0x200 -Wl,--section-alignment,0x1000 \
        -Wl,--dynamicbase -Wl,--nxcompat \
        "${objects[@]}" -L "$sysroot/lib" -lntoskrnl -lhal -lusbd -lwmilib -o "$image" 2>"$work/link.log"; then
    cat "$work/link.log" >&2
    echo "windows-build-check: vexlink.sys does not link; unresolved:" >&2
    grep -oE "undefined reference to \`[^']*'" "$work/link.log" | sed "s/undefined reference to \`/  /; s/'$//" | sort -u >&2
    exit 1
fi
echo "windows-build-check: linked $image"
x86_64-w64-mingw32-objdump -p "$image" | sed -n '/^The Import Tables/,/^There is an export table\|^The Export Tables\|^The Function Table/p'

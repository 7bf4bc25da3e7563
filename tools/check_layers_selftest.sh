#!/usr/bin/env bash
# The layer check must fail on a tree with an upward include, with a system header in a portable
# layer (also in a portable folder of the ui layer, whose win32 backend alone may include one, and
# in the portable Windows disk decisions among the driver libraries),
# and with an include of the ui layer outside the layers it may use; and pass on the same tree
# without them.
set -euo pipefail
checker=$1
tree=$(mktemp -d)
trap 'rm -rf "$tree"' EXIT
mkdir -p "$tree/base" "$tree/low" "$tree/drivers/linux" "$tree/drivers/windisk" "$tree/ui/win32" \
  "$tree/ui/headless" "$tree/high"
echo 'set(BRC_LAYERS base low drivers ui high)' >"$tree/CMakeLists.txt"
echo '#include <fcntl.h>' >"$tree/drivers/linux/l.cpp"
echo '#pragma once' >"$tree/base/types.h"
echo '#pragma once' >"$tree/low/a.h"
echo '#include "low/a.h"' >"$tree/high/b.cpp"
printf '#include "base/types.h"\n#include "ui/dialog.h"\n' >"$tree/ui/headless/h.cpp"
printf '#include <windows.h>\n#include <commctrl.h>\n#include "ui/dialog.h"\n' >"$tree/ui/win32/w.cpp"
python3 "$checker" "$tree" >/dev/null || { echo "a clean tree was refused"; exit 1; }

refused() {  # the checker must fail on the tree as it is now
  if python3 "$checker" "$tree" >/dev/null; then echo "$1 passed"; exit 1; fi
}
echo '#include "high/b.h"' >"$tree/low/a.cpp"
refused "an upward include"
rm "$tree/low/a.cpp"
echo '#include <windows.h>' >"$tree/low/c.cpp"
refused "a system header in a portable layer"
rm "$tree/low/c.cpp"
echo '#include <commctrl.h>' >"$tree/ui/headless/c.cpp"
refused "a system header in a portable folder of the ui layer"
rm "$tree/ui/headless/c.cpp"
mkdir "$tree/ui/win32x"
echo '#include <windows.h>' >"$tree/ui/win32x/c.cpp"
refused "a system header in a folder whose name only starts like the win32 backend's"
rm -r "$tree/ui/win32x"
echo '#include <windows.h>' >"$tree/drivers/windisk/e.cpp"
refused "a system header in the portable Windows disk decisions"
rm "$tree/drivers/windisk/e.cpp"
echo '#include "low/a.h"' >"$tree/ui/headless/d.cpp"
refused "an include of the ui layer from a layer it may not use"
rm "$tree/ui/headless/d.cpp"
python3 "$checker" "$tree" >/dev/null || { echo "the repaired tree was refused"; exit 1; }
echo "check_layers: catches every fault"

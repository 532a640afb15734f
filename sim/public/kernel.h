// What driver code sees of the simulated kernel: the driver kit's names, types,
// values and routine signatures, implemented by the sources in sim/.
#pragma once

#include "sim/public/ntdef.h"
#include "sim/public/ex.h"
#include "sim/public/rtl.h"
#include "sim/public/io.h"
#include "sim/public/fs.h"
#include "sim/public/ps.h"
#include "sim/public/cm.h"
#include "windows/fltkernel.h"
#include "windows/layouts.h"

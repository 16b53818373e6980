// The core's layers, bottom to top: session, firmware, ui, http, tftp, app.
// Each folder is a library of its own, compiled with QEL_CORE_LAYER set to
// its place, and every core header names its layer: a file that includes a
// header of a layer above its own does not compile. Programs, front-ends and
// tests set nothing and see every layer.
#pragma once

#define QEL_LAYER_SESSION 0
#define QEL_LAYER_FIRMWARE 1
#define QEL_LAYER_UI 2
#define QEL_LAYER_HTTP 3
#define QEL_LAYER_TFTP 4
#define QEL_LAYER_APP 5

#ifndef QEL_CORE_LAYER
#define QEL_CORE_LAYER QEL_LAYER_APP
#endif

#define QEL_LAYER_HEADER(layer)                                        \
  static_assert(QEL_CORE_LAYER >= QEL_LAYER_##layer,                   \
                "this header's layer sits above the including file's " \
                "(session, firmware, ui, http, tftp, app: each uses only those before it)")

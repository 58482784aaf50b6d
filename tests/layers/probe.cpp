/* Includes the one header named by TVRX_PROBE_HEADER, as a source of the layer under test would. */
#include TVRX_PROBE_HEADER

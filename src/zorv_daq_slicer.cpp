#include "zorv_daq_slicer.h"

#include "zorv_daq_slicer_2010.h"

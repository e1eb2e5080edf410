#pragma once
// Everything the module registers, defined beside each kernel and class.
#include "module/class_registry.hpp"
#include "module/python.hpp"

namespace ostrel::py {

extern ClassSlot luminance_standard_class;
extern ClassSlot color_filter_class;
extern ClassSlot zone_params_class;
extern ClassSlot guided_filter_params_class;

extern PyMethodDef luminance_bw_method;
extern PyMethodDef channel_mixer_bw_method;
extern PyMethodDef color_filter_bw_method;
extern PyMethodDef zone_system_method;
extern PyMethodDef local_contrast_method;
extern PyMethodDef encode_srgb_method;

}  // namespace ostrel::py

// An RGB profile made of lookup tables, as printers' and scanners' are, for the colour tests and
// the colour benchmark: the colours of a matrix-and-curves profile sampled into a table of 17
// points a channel from RGB to Lab (with identity curves around it, as the format asks). lcms2
// takes such a profile through its general path, not the matrix one.
#pragma once

#include <lcms2.h>

namespace pictra_test {

inline cmsHPROFILE lut_profile(cmsHPROFILE colours) {
  constexpr int points = 17;
  cmsHPROFILE lab = cmsCreateLab4Profile(nullptr);
  cmsHTRANSFORM to_lab =
      cmsCreateTransform(colours, TYPE_RGB_16, lab, TYPE_Lab_16, INTENT_PERCEPTUAL, 0);
  cmsCloseProfile(lab);
  cmsHPROFILE profile = cmsCreateProfilePlaceholder(nullptr);
  cmsSetProfileVersion(profile, 4.3);
  cmsSetDeviceClass(profile, cmsSigInputClass);
  cmsSetColorSpace(profile, cmsSigRgbData);
  cmsSetPCS(profile, cmsSigLabData);
  cmsPipeline* pipeline = cmsPipelineAlloc(nullptr, 3, 3);
  cmsStage* table = cmsStageAllocCLut16bit(nullptr, points, 3, 3, nullptr);
  cmsStageSampleCLut16bit(
      table,
      [](const cmsUInt16Number in[], cmsUInt16Number out[], void* transform) -> cmsInt32Number {
        cmsDoTransform(static_cast<cmsHTRANSFORM>(transform), in, out, 1);
        return 1;
      },
      to_lab, 0);
  cmsPipelineInsertStage(pipeline, cmsAT_END, cmsStageAllocToneCurves(nullptr, 3, nullptr));
  cmsPipelineInsertStage(pipeline, cmsAT_END, table);
  cmsPipelineInsertStage(pipeline, cmsAT_END, cmsStageAllocToneCurves(nullptr, 3, nullptr));
  cmsWriteTag(profile, cmsSigAToB0Tag, pipeline);
  cmsWriteTag(profile, cmsSigMediaWhitePointTag, cmsD50_XYZ());
  cmsPipelineFree(pipeline);
  cmsDeleteTransform(to_lab);
  return profile;
}

}  // namespace pictra_test

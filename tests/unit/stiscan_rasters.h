// Rasters that the tests of stiscan's image files and documents write.
#pragma once

#include <gtest/gtest.h>

#include <utility>
#include <vector>

#include "documents/image_files.h"

// A raster of `bits` per pixel whose bytes count up from 1.
inline stiscan::Raster CountingRaster(long width, long height, int bits, double dpi)
{
  const size_t plain = (size_t(width) * size_t(bits) + 7) / 8;
  std::vector<unsigned char> rows(plain * size_t(height));
  for (size_t i = 0; i < rows.size(); ++i) rows[i] = static_cast<unsigned char>(i + 1);
  stiscan::Raster raster;
  EXPECT_TRUE(stiscan::RasterFromRows(width, height, bits, dpi, dpi, std::move(rows), raster));
  return raster;
}

// The row collector behind the decoders that cannot scale while decoding.
#include "formats/builder.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>

namespace {

// The factor that shrinks extent by as much as possible while keeping it at least wanted.
std::uint32_t cover_factor(std::uint64_t extent, std::uint32_t wanted) {
  // An image far wider or taller than the box fits to nothing across: that side asks for
  // nothing, and the other one decides.
  if (wanted == 0) return static_cast<std::uint32_t>(std::min<std::uint64_t>(extent, UINT32_MAX));
  return static_cast<std::uint32_t>(std::max<std::uint64_t>(1, extent / wanted));
}

}  // namespace

Raster::Raster(std::size_t size) : size_(size) {
  if (size == 0) return;
  bytes_.reset(static_cast<std::uint8_t*>(std::calloc(size, 1)));
  if (!bytes_) throw std::bad_alloc();
}

Raster::Raster(const Raster& other) : Raster(other.size_) {
  if (size_ != 0) std::memcpy(bytes_.get(), other.bytes_.get(), size_);
}

Raster& Raster::operator=(const Raster& other) {
  if (this != &other) *this = Raster(other);
  return *this;
}

bool operator==(const Raster& a, const Raster& b) {
  return a.size_ == b.size_ && (a.size_ == 0 || std::memcmp(a.data(), b.data(), a.size_) == 0);
}

std::unique_ptr<Image> make_image(std::uint64_t width, std::uint64_t height) {
  if (width == 0 || height == 0 || width > max_image_pixels || height > max_image_pixels ||
      width * height > max_image_pixels) {
    return nullptr;
  }
  try {
    auto image = std::make_unique<Image>();
    image->width = static_cast<std::uint32_t>(width);
    image->height = static_cast<std::uint32_t>(height);
    image->full_width = image->width;
    image->full_height = image->height;
    image->rgb = Raster(width * height * rgb_channels);  // zeroed: black
    return image;
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}

bool ImageBuilder::start(std::uint64_t width, std::uint64_t height, Wish wish, bool alpha) {
  image_.reset();
  if (width == 0 || height == 0 || width > max_image_pixels || height > max_image_pixels ||
      width * height > max_image_pixels) {
    return false;
  }
  factor_ = 1;
  if (wish.width && wish.height) {
    const Size fitted = fit_size(width, height, wish.width, wish.height);
    factor_ = std::min(cover_factor(width, static_cast<std::uint32_t>(fitted.width)),
                       cover_factor(height, static_cast<std::uint32_t>(fitted.height)));
  }
  source_width_ = static_cast<std::uint32_t>(width);
  source_height_ = static_cast<std::uint32_t>(height);
  image_ = make_image((width + factor_ - 1) / factor_, (height + factor_ - 1) / factor_);
  if (!image_) return false;
  image_->full_width = source_width_;
  image_->full_height = source_height_;
  band_ = -1;
  band_rows_ = 0;
  try {
    if (alpha) image_->alpha = Raster(std::size_t{image_->width} * image_->height);
    alpha_scratch_.clear();
    alpha_sums_.clear();
    if (factor_ > 1) {
      scratch_.assign(std::size_t{source_width_} * rgb_channels, 0);
      sums_.assign(std::size_t{image_->width} * rgb_channels, 0);
      if (alpha) {
        alpha_scratch_.assign(source_width_, 0);
        alpha_sums_.assign(image_->width, 0);
      }
    }
  } catch (const std::bad_alloc&) {
    image_.reset();
    return false;
  }
  return true;
}

std::uint8_t* ImageBuilder::row(std::uint32_t y) {
  return factor_ == 1 ? image_->row(y) : scratch_.data();
}

std::uint8_t* ImageBuilder::alpha_row(std::uint32_t y) {
  return factor_ == 1 ? image_->alpha.data() + std::size_t{y} * source_width_
                      : alpha_scratch_.data();
}

void ImageBuilder::commit(std::uint32_t y) {
  if (factor_ == 1 || y >= source_height_) return;
  const std::int64_t band = y / factor_;
  if (band != band_) {
    flush();
    band_ = band;
  }
  if (!alpha_sums_.empty()) {
    commit_with_alpha();
    return;
  }
  // Columns of one output pixel lie side by side; the last output column may take fewer.
  const std::uint8_t* in = scratch_.data();
  std::uint32_t* sum = sums_.data();
  for (std::uint32_t first = 0; first < source_width_; first += factor_, sum += rgb_channels) {
    const std::uint32_t columns = std::min(factor_, source_width_ - first);
    std::uint32_t r = 0, g = 0, b = 0;
    for (std::uint32_t k = 0; k < columns; ++k, in += rgb_channels) {
      r += in[0];
      g += in[1];
      b += in[2];
    }
    sum[0] += r;
    sum[1] += g;
    sum[2] += b;
  }
  ++band_rows_;
}

// Averages colours weighted by their opacity, so that what is transparent does not tint its
// neighbours: the sums gather premultiplied colours, which flush divides back.
void ImageBuilder::commit_with_alpha() {
  const std::uint8_t* in = scratch_.data();
  const std::uint8_t* opacity = alpha_scratch_.data();
  std::uint32_t* sum = sums_.data();
  std::uint32_t* alpha_sum = alpha_sums_.data();
  for (std::uint32_t first = 0; first < source_width_; first += factor_, sum += rgb_channels) {
    const std::uint32_t columns = std::min(factor_, source_width_ - first);
    for (std::uint32_t k = 0; k < columns; ++k, in += rgb_channels, ++opacity) {
      for (std::size_t c = 0; c < rgb_channels; ++c)
        sum[c] += (in[c] * *opacity + 127) / 255;
      *alpha_sum += *opacity;
    }
    ++alpha_sum;
  }
  ++band_rows_;
}

void ImageBuilder::fill(std::uint32_t y, std::uint32_t rows,
                        const std::uint8_t (&colour)[rgb_channels]) {
  if (y >= source_height_) return;
  rows = std::min(rows, source_height_ - y);
  if (factor_ == 1) {
    for (const std::uint32_t end = y + rows; y < end; ++y) {
      // Rows never reached are opaque, as in an image without alpha.
      if (image_->alpha.size() != 0)
        std::fill_n(image_->alpha.data() + std::size_t{y} * source_width_, source_width_, 255);
      // Rows start black; other colours are written out.
      if (colour[0] == 0 && colour[1] == 0 && colour[2] == 0) continue;
      std::uint8_t* out = image_->row(y);
      for (std::uint32_t x = 0; x < source_width_; ++x, out += rgb_channels)
        std::copy(colour, colour + rgb_channels, out);
    }
    return;
  }
  // The rows of one band at once: a few bytes may claim tens of thousands of rows.
  while (rows > 0) {
    const std::int64_t band = y / factor_;
    if (band != band_) {
      flush();
      band_ = band;
    }
    const auto band_end = static_cast<std::uint64_t>(band + 1) * factor_;
    const auto taken = static_cast<std::uint32_t>(std::min<std::uint64_t>(rows, band_end - y));
    std::uint32_t* sum = sums_.data();
    for (std::uint32_t first = 0; first < source_width_; first += factor_, sum += rgb_channels) {
      const std::uint32_t pixels = std::min(factor_, source_width_ - first) * taken;
      for (std::size_t c = 0; c < rgb_channels; ++c)
        sum[c] += colour[c] * pixels;
      if (!alpha_sums_.empty()) alpha_sums_[first / factor_] += 255 * pixels;
    }
    band_rows_ += taken;
    y += taken;
    rows -= taken;
  }
}

void ImageBuilder::flush() {
  if (band_ < 0 || band_rows_ == 0) return;
  std::uint8_t* out = image_->row(static_cast<std::uint32_t>(band_));
  std::uint8_t* opacity =
      alpha_sums_.empty() ? nullptr : image_->alpha.data() + std::size_t(band_) * image_->width;
  for (std::uint32_t x = 0; x < image_->width; ++x) {
    const std::uint32_t columns = std::min(factor_, source_width_ - x * factor_);
    std::uint32_t count = columns * band_rows_;
    std::uint64_t scale = 1;
    if (opacity) {
      // Premultiplied sums over the sum of opacities: the colour of what is there.
      std::uint32_t& a = alpha_sums_[x];
      opacity[x] = static_cast<std::uint8_t>((a + count / 2) / count);
      scale = 255;
      count = std::max<std::uint32_t>(1, a);
      a = 0;
    }
    for (std::size_t c = 0; c < rgb_channels; ++c) {
      std::uint32_t& s = sums_[std::size_t{x} * rgb_channels + c];
      out[std::size_t{x} * rgb_channels + c] =
          static_cast<std::uint8_t>(std::min<std::uint64_t>(255, (s * scale + count / 2) / count));
      s = 0;
    }
  }
  band_rows_ = 0;
}

std::unique_ptr<Image> ImageBuilder::finish() {
  if (factor_ > 1) flush();
  band_ = -1;
  return std::move(image_);
}

// The conversion on Windows: the Windows Imaging Component decodes the day's
// JPEG, and its rows reach the bitmap writer in bands of 24-bit
// blue-green-red.
#include <windows.h>
#include <wincodec.h>

#include <vector>

#include "desktop/bitmap.h"
#include "desktop/wallpaper.h"
#include "sys/scoped_win32.h"

namespace pavo {

using win32::Check;
using win32::Com;

namespace {

bool IsFourChannel(const WICPixelFormatGUID& f) {
  return IsEqualGUID(f, GUID_WICPixelFormat32bppCMYK) || IsEqualGUID(f, GUID_WICPixelFormat64bppCMYK) ||
         IsEqualGUID(f, GUID_WICPixelFormat40bppCMYKAlpha) || IsEqualGUID(f, GUID_WICPixelFormat80bppCMYKAlpha);
}

}  // namespace

void ConvertToBitmap(const std::string& source, const std::string& bitmap_path) {
  // The decoder sees the file only once its structure and claimed size have
  // passed: some decoders allocate the whole picture as soon as they open it.
  std::string data = bitmap::ReadJpeg(source);
  const bitmap::Size size = bitmap::CheckJpeg(data);

  // The window's thread has an apartment already; a thread without gets one.
  win32::Apartment apartment;
  Com<IWICImagingFactory> factory;
  Check(CoCreateInstance(CLSID_WICImagingFactory, nullptr, CLSCTX_INPROC_SERVER, IID_IWICImagingFactory,
                         reinterpret_cast<void**>(factory.put())),
        "CoCreateInstance(WICImagingFactory)");
  Com<IWICStream> stream;
  Check(factory->CreateStream(stream.put()), "CreateStream");
  Check(stream->InitializeFromMemory(reinterpret_cast<BYTE*>(data.data()), static_cast<DWORD>(data.size())),
        "InitializeFromMemory");
  Com<IWICBitmapDecoder> decoder;
  Check(factory->CreateDecoder(GUID_ContainerFormatJpeg, nullptr, decoder.put()), "CreateDecoder");
  Check(decoder->Initialize(stream.get(), WICDecodeMetadataCacheOnDemand), "decoder Initialize");
  Com<IWICBitmapFrameDecode> frame;
  Check(decoder->GetFrame(0, frame.put()), "GetFrame");
  UINT width = 0, height = 0;
  Check(frame->GetSize(&width, &height), "GetSize");
  if (width != size.width || height != size.height) throw Failure("JPEG size mismatch");
  WICPixelFormatGUID format{};
  Check(frame->GetPixelFormat(&format), "GetPixelFormat");
  // Four-channel JPEGs have no agreed conversion to screen colours; they are
  // refused rather than shown in wrong colours, as on every platform.
  if (IsFourChannel(format)) throw Failure("unsupported JPEG colour space");
  // Colour JPEGs decode to blue-green-red already and go straight into the
  // band. Anything else (grayscale) goes through a converter to 32-bit
  // blue-green-red, the one target every converter offers, and is packed
  // to three bytes here, a band at a time.
  const bool direct = IsEqualGUID(format, GUID_WICPixelFormat24bppBGR);
  Com<IWICFormatConverter> converter;
  if (!direct) {
    Check(factory->CreateFormatConverter(converter.put()), "CreateFormatConverter");
    Check(converter->Initialize(frame.get(), GUID_WICPixelFormat32bppBGR, WICBitmapDitherTypeNone, nullptr, 0.0,
                                WICBitmapPaletteTypeCustom),
          "converter Initialize");
  }

  bitmap::Writer out(bitmap_path, width, height);
  std::vector<BYTE> wide_band;
  for (UINT y = 0; y < height;) {
    const UINT rows = out.Room();
    if (rows == 0) throw Failure("bitmap rows out of step");
    const WICRect band{0, static_cast<INT>(y), static_cast<INT>(width), static_cast<INT>(rows)};
    if (direct) {
      Check(frame->CopyPixels(&band, out.Stride(), out.Stride() * rows, out.Next()), "CopyPixels");
    } else {
      wide_band.resize(std::size_t{width} * 4 * rows);
      Check(converter->CopyPixels(&band, width * 4, static_cast<UINT>(wide_band.size()), wide_band.data()),
            "CopyPixels");
      for (UINT r = 0; r < rows; ++r) {
        const BYTE* from = wide_band.data() + std::size_t{r} * width * 4;
        unsigned char* to = out.Next() + std::size_t{r} * out.Stride();
        for (UINT x = 0; x < width; ++x, from += 4, to += 3) {
          to[0] = from[0];
          to[1] = from[1];
          to[2] = from[2];
        }
      }
    }
    out.Advance(rows);
    y += rows;
  }
  out.Finish();
}

}  // namespace pavo

// The reference decoding on Windows: the imaging component asked for 32-bit
// BGRA of the whole frame by file name, another route than the converter's
// banded 24-bit reads from memory.
#include <windows.h>
#include <wincodec.h>

#include <stdexcept>

#include "desktop/wallpaper/picture.h"
#include "sys/text_win32.h"

namespace pavo::test {

namespace {
void Ok(HRESULT hr, const char* what) {
  if (FAILED(hr)) throw std::runtime_error(std::string("reference decoding: ") + what);
}
template <class T>
struct Ref {
  T* p = nullptr;
  ~Ref() {
    if (p) p->Release();
  }
  T* operator->() { return p; }
};
}  // namespace

Picture DecodeReference(const std::string& jpeg_path) {
  HRESULT init = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
  Picture p;
  {
    Ref<IWICImagingFactory> factory;
    Ok(CoCreateInstance(CLSID_WICImagingFactory, nullptr, CLSCTX_INPROC_SERVER, IID_IWICImagingFactory,
                        reinterpret_cast<void**>(&factory.p)),
       "factory");
    Ref<IWICBitmapDecoder> decoder;
    Ok(factory->CreateDecoderFromFilename(win32::Wide(jpeg_path).c_str(), nullptr, GENERIC_READ,
                                          WICDecodeMetadataCacheOnDemand, &decoder.p),
       "decoder");
    Ref<IWICBitmapFrameDecode> frame;
    Ok(decoder->GetFrame(0, &frame.p), "frame");
    Ref<IWICBitmapSource> bgra;
    Ok(WICConvertBitmapSource(GUID_WICPixelFormat32bppBGRA, frame.p, &bgra.p), "convert");
    UINT w = 0, h = 0;
    Ok(bgra->GetSize(&w, &h), "size");
    std::vector<unsigned char> all(std::size_t{w} * h * 4);
    Ok(bgra->CopyPixels(nullptr, w * 4, static_cast<UINT>(all.size()), all.data()), "pixels");
    p.width = w;
    p.height = h;
    p.bgr.resize(std::size_t{w} * h * 3);
    for (std::size_t i = 0, j = 0; i < all.size(); i += 4, j += 3) {
      p.bgr[j] = all[i];
      p.bgr[j + 1] = all[i + 1];
      p.bgr[j + 2] = all[i + 2];
    }
  }
  if (SUCCEEDED(init)) CoUninitialize();
  return p;
}

}  // namespace pavo::test

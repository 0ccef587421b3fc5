// An image list: numbered images that components hand out as bitmaps, for
// instance the symbol a new document type receives.
//
// The toolkit draws no images; an image is kept as the bytes of its bitmap
// file and handed out unchanged.
#pragma once

#include <string>
#include <vector>

#include "sys/component.h"

namespace dk {

class TImageList : public TComponent {
 public:
  explicit TImageList(TComponent* owner) : TComponent(owner) {}

  int Count() const { return static_cast<int>(FImages.size()); }
  // Appends an image (the bytes of a bitmap) and returns its index.
  int Add(std::string bitmap);
  // Removes the image; an index out of range does nothing.
  void Delete(int index);
  void Clear() { FImages.clear(); }

  // Copies image `index` into `bitmap`; false, and `bitmap` unchanged, when
  // there is no such image.
  bool GetBitmap(int index, std::string& bitmap) const;

 private:
  std::vector<std::string> FImages;
};

}  // namespace dk

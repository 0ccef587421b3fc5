#include "ui/image_list.h"

namespace dk {

int TImageList::Add(std::string bitmap) {
  FImages.push_back(std::move(bitmap));
  return Count() - 1;
}

void TImageList::Delete(int index) {
  if (index < 0 || index >= Count()) return;
  FImages.erase(FImages.begin() + index);
}

bool TImageList::GetBitmap(int index, std::string& bitmap) const {
  if (index < 0 || index >= Count()) return false;
  bitmap = FImages[static_cast<size_t>(index)];
  return true;
}

}  // namespace dk

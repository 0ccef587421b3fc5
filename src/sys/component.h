// The component model: a component is created with an owner and freed with
// it, owned components in reverse order of creation. The base destructor runs
// after the derived one, so an owner whose components still reach into its
// own members calls DestroyComponents first in its destructor.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace dk {

class TComponent {
 public:
  explicit TComponent(TComponent* owner);
  virtual ~TComponent();
  TComponent(const TComponent&) = delete;
  TComponent& operator=(const TComponent&) = delete;

  std::string Name;
  TComponent* Owner() const { return FOwner; }
  // Components owned by this one, in creation order; freed with it.
  const std::vector<TComponent*>& Components() const { return FComponents; }
  // Frees every owned component now, newest first.
  void DestroyComponents();

 private:
  TComponent* FOwner;
  std::vector<TComponent*> FComponents;
};

}  // namespace dk

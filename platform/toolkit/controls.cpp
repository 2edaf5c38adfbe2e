#include "platform/toolkit/controls.h"

#include <algorithm>
#include <atomic>

namespace odu::platform {

TControl::TControl(TComponent* owner, std::string kind) : TComponent(owner), kind_(std::move(kind)) {}

TControl::~TControl() {
  peer_.reset();
  if (parent_) {
    auto& v = parent_->children_;
    v.erase(std::remove(v.begin(), v.end(), this), v.end());
  }
  for (TControl* c : children_) c->parent_ = nullptr;
}

void TControl::SetParent(TControl* parent) {
  if (parent_ == parent) return;
  if (parent_) {
    auto& v = parent_->children_;
    v.erase(std::remove(v.begin(), v.end(), this), v.end());
  }
  parent_ = parent;
  if (parent_) parent_->children_.push_back(this);
}

void TControl::Changed() {
  if (peer_) peer_->Changed();
}

void TControl::SetBounds(int left, int top, int width, int height) {
  left_ = left;
  top_ = top;
  width_ = width;
  height_ = height;
  Changed();
}

void TControl::SetVisible(bool visible) {
  if (visible_ == visible) return;
  visible_ = visible;
  Changed();
}

void TControl::SetEnabled(bool enabled) {
  if (enabled_ == enabled) return;
  enabled_ = enabled;
  Changed();
}

void TControl::SetCaption(const std::string& caption) {
  if (caption_ == caption) return;
  caption_ = caption;
  Changed();
}

void TControl::SetFont(const TFont& font) {
  font_ = font;
  parent_font_ = false;
  Changed();
}

const TFont& TControl::EffectiveFont() const {
  if (parent_font_ && parent_) return parent_->EffectiveFont();
  return font_;
}

void TControl::Repaint() {
  if (peer_) peer_->Repaint();
}

void TButton::Click() {
  if (Enabled() && OnClick) OnClick(*this);
}

void TProgressBar::SetMin(int v) {
  min_ = v;
  Changed();
}
void TProgressBar::SetMax(int v) {
  max_ = v;
  Changed();
}
void TProgressBar::SetPosition(int v) {
  if (position_ == v) return;
  position_ = v;
  Changed();
}

TForm::~TForm() {
  // Peers go before the controls they show.
  std::vector<TControl*> stack{this};
  while (!stack.empty()) {
    TControl* c = stack.back();
    stack.pop_back();
    for (TControl* child : c->Children()) stack.push_back(child);
    if (c != this) c->SetPeer(nullptr);
  }
  SetPeer(nullptr);
}

namespace {
void CreatePeers(Toolkit& toolkit, TControl& control) {
  if (!control.Peer()) control.SetPeer(toolkit.CreatePeer(control));
  for (TControl* child : control.Children()) CreatePeers(toolkit, *child);
}
}  // namespace

void TForm::Show() {
  Toolkit& toolkit = CurrentToolkit();
  CreatePeers(toolkit, *this);
  showing_ = true;
  Changed();
}

void TForm::Close() {
  TCloseAction action = TCloseAction::Hide;
  if (OnClose) OnClose(*this, action);
  if (action == TCloseAction::None) return;
  showing_ = false;
  Changed();
  if (TApplication* app = Application(); app && app->MainForm == this) app->toolkit().Quit();
}

TComponent* TForm::FindComponent(const std::string& name) const {
  for (TComponent* c : Components())
    if (c->Name == name) return c;
  return nullptr;
}

bool TForm::BindEvent(TComponent&, const std::string&, const std::string&) { return false; }

// As with the toolkit: the thread that made an application object sees its
// own, any other the one made last.
namespace {
std::atomic<TApplication*> g_application{nullptr};
thread_local TApplication* t_application = nullptr;
}  // namespace

TApplication::TApplication(Toolkit& toolkit) : TComponent(nullptr), toolkit_(toolkit) {
  g_application.store(this);
  t_application = this;
}

TApplication::~TApplication() {
  TApplication* self = this;
  g_application.compare_exchange_strong(self, nullptr);
  if (t_application == this) t_application = nullptr;
}

TApplication* Application() { return t_application ? t_application : g_application.load(); }

void TApplication::Run() {
  if (!MainForm) return;
  MainForm->Show();
  toolkit_.RunLoop();
}

void TApplication::ShowException(const std::exception& e) { toolkit_.MessageBox(e.what(), Title); }

const TForm* FormOf(const TControl& control) {
  for (const TControl* c = &control; c; c = c->Parent())
    if (auto* form = dynamic_cast<const TForm*>(c)) return form;
  return nullptr;
}

bool IsSerifFamily(const std::string& name) {
  return name.find("Serif") != std::string::npos && name.find("Sans") == std::string::npos;
}

}  // namespace odu::platform

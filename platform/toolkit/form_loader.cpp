#include "platform/toolkit/form_loader.h"

#include <cctype>
#include <charconv>
#include <vector>

namespace odu::platform {

namespace {

struct Value {
  enum class Kind { Number, Text, Ident, Set } kind = Kind::Ident;
  long number = 0;
  std::string text;                // Text and Ident
  std::vector<std::string> items;  // Set
};

class Loader {
 public:
  Loader(TForm& form, std::string_view text) : form_(form), text_(text) {}

  void Run() {
    std::string name, kind;
    if (!ReadObjectHeader(name, kind)) Fail("the description does not start with 'object'");
    form_.Name = name;
    ReadBody(form_, &form_);
  }

 private:
  [[noreturn]] void Fail(const std::string& what) const {
    throw ToolkitError("Form description, line " + std::to_string(line_) + ": " + what + ".");
  }

  bool NextLine(std::string_view& out) {
    while (pos_ < text_.size()) {
      size_t end = text_.find('\n', pos_);
      if (end == std::string_view::npos) end = text_.size();
      std::string_view l = text_.substr(pos_, end - pos_);
      pos_ = end + 1;
      ++line_;
      while (!l.empty() && std::isspace(static_cast<unsigned char>(l.front()))) l.remove_prefix(1);
      while (!l.empty() && std::isspace(static_cast<unsigned char>(l.back()))) l.remove_suffix(1);
      if (!l.empty()) {
        out = l;
        return true;
      }
    }
    return false;
  }

  bool ReadObjectHeader(std::string& name, std::string& kind) {
    std::string_view l;
    if (!NextLine(l)) return false;
    return ParseHeader(l, name, kind);
  }

  bool ParseHeader(std::string_view l, std::string& name, std::string& kind) {
    if (l.substr(0, 7) != "object ") return false;
    l.remove_prefix(7);
    const size_t colon = l.find(':');
    if (colon == std::string_view::npos) Fail("expected 'object Name: Class'");
    name = Trim(l.substr(0, colon));
    kind = Trim(l.substr(colon + 1));
    if (name.empty() || kind.empty()) Fail("expected 'object Name: Class'");
    return true;
  }

  static std::string Trim(std::string_view s) {
    while (!s.empty() && s.front() == ' ') s.remove_prefix(1);
    while (!s.empty() && s.back() == ' ') s.remove_suffix(1);
    return std::string(s);
  }

  // Reads properties and nested objects up to the matching 'end'.
  void ReadBody(TComponent& component, TControl* control) {
    std::string_view l;
    while (NextLine(l)) {
      if (l == "end") return;
      std::string name, kind;
      if (ParseHeader(l, name, kind)) {
        TComponent* child = Create(kind);
        child->Name = name;
        auto* child_control = dynamic_cast<TControl*>(child);
        if (child_control && control) child_control->SetParent(control);
        ReadBody(*child, child_control);
        continue;
      }
      const size_t eq = l.find('=');
      if (eq == std::string_view::npos) Fail("expected 'Property = value'");
      Apply(component, control, Trim(l.substr(0, eq)), ParseValue(l.substr(eq + 1)));
    }
    Fail("missing 'end'");
  }

  TComponent* Create(const std::string& kind) {
    if (kind == "TButton") return new TButton(&form_);
    if (kind == "TProgressBar") return new TProgressBar(&form_);
    if (kind == "TStaticText") return new TStaticText(&form_);
    if (kind == "TLabel") return new TLabel(&form_);
    if (kind == "TPanel") return new TPanel(&form_);
    if (kind == "TListBox") return new TListBox(&form_);
    if (kind == "TTimer") return new TTimer(&form_);
    Fail("unknown class " + kind);
  }

  Value ParseValue(std::string_view v) {
    while (!v.empty() && v.front() == ' ') v.remove_prefix(1);
    Value out;
    if (v.empty()) Fail("missing value");
    if (v.front() == '\'') {
      out.kind = Value::Kind::Text;
      size_t i = 1;
      for (;;) {
        if (i >= v.size()) Fail("unterminated text");
        if (v[i] == '\'') {
          if (i + 1 < v.size() && v[i + 1] == '\'') {
            out.text += '\'';
            i += 2;
            continue;
          }
          break;
        }
        out.text += v[i++];
      }
      if (i + 1 != v.size()) Fail("unexpected characters after the text");
      return out;
    }
    if (v.front() == '[') {
      out.kind = Value::Kind::Set;
      if (v.back() != ']') Fail("unterminated set");
      std::string_view inner = v.substr(1, v.size() - 2);
      while (!inner.empty()) {
        const size_t comma = inner.find(',');
        std::string item = Trim(inner.substr(0, comma));
        if (!item.empty()) out.items.push_back(item);
        if (comma == std::string_view::npos) break;
        inner.remove_prefix(comma + 1);
      }
      return out;
    }
    if (v.front() == '-' || std::isdigit(static_cast<unsigned char>(v.front()))) {
      out.kind = Value::Kind::Number;
      auto [p, ec] = std::from_chars(v.data(), v.data() + v.size(), out.number);
      if (ec != std::errc() || p != v.data() + v.size()) Fail("bad number");
      return out;
    }
    out.kind = Value::Kind::Ident;
    out.text = std::string(v);
    return out;
  }

  int Number(const Value& v) const {
    if (v.kind != Value::Kind::Number) Fail("expected a number");
    if (v.number < -1'000'000 || v.number > 1'000'000) Fail("number out of range");
    return static_cast<int>(v.number);
  }
  bool Bool(const Value& v) const {
    if (v.kind == Value::Kind::Ident && (v.text == "True" || v.text == "False")) return v.text == "True";
    Fail("expected True or False");
  }
  const std::string& Text(const Value& v) const {
    if (v.kind != Value::Kind::Text) Fail("expected a quoted text");
    return v.text;
  }
  const std::string& Ident(const Value& v) const {
    if (v.kind != Value::Kind::Ident) Fail("expected a name");
    return v.text;
  }
  static bool Has(const Value& v, const std::string& item) {
    for (const auto& i : v.items)
      if (i == item) return true;
    return false;
  }

  void Apply(TComponent& component, TControl* control, const std::string& prop, const Value& v) {
    if (prop.size() > 2 && prop.substr(0, 2) == "On") {
      if (!form_.BindEvent(component, prop, Ident(v))) Fail("no handler " + v.text + " for " + prop);
      return;
    }
    if (auto* timer = dynamic_cast<TTimer*>(&component)) {
      if (prop == "Interval") return timer->SetInterval(static_cast<uint32_t>(std::max(0, Number(v))));
      if (prop == "Enabled") return timer->SetEnabled(Bool(v));
      if (prop == "Left" || prop == "Top") return;  // where the designer drew it
      Fail("unknown property " + prop + " of a timer");
    }
    if (!control) Fail("unknown property " + prop);
    TControl& c = *control;
    if (prop == "Left") return c.SetBounds(Number(v), c.Top(), c.Width(), c.Height());
    if (prop == "Top") return c.SetBounds(c.Left(), Number(v), c.Width(), c.Height());
    if (prop == "Width") return c.SetBounds(c.Left(), c.Top(), Number(v), c.Height());
    if (prop == "Height") return c.SetBounds(c.Left(), c.Top(), c.Width(), Number(v));
    if (prop == "Caption") return c.SetCaption(Text(v));
    if (prop == "Visible") return c.SetVisible(Bool(v));
    if (prop == "Enabled") return c.SetEnabled(Bool(v));
    if (prop == "TabOrder" || prop == "Color" || prop == "Font.Color" || prop == "ItemHeight" || prop == "TextHeight") {
      (void)v;  // tab order is the order of the description; colours are the system's
      return;
    }
    if (prop == "ParentFont") {
      if (!Bool(v)) c.SetFont(c.EffectiveFont());
      return;
    }
    if (prop.substr(0, 5) == "Font.") {
      TFont f = c.EffectiveFont();
      if (prop == "Font.Name") f.Name = Text(v);
      else if (prop == "Font.Height") f.Height = std::abs(Number(v));
      else if (prop == "Font.Style") f.Bold = Has(v, "fsBold");
      else if (prop == "Font.Charset") f.Charset = Ident(v) == "EASTEUROPE_CHARSET" ? 238 : 1;
      else Fail("unknown property " + prop);
      c.SetFont(f);  // the control's own from now on
      return;
    }
    if (auto* form = dynamic_cast<TForm*>(&c)) {
      if (prop == "ClientWidth") return void(form->ClientWidth = Number(v));
      if (prop == "ClientHeight") return void(form->ClientHeight = Number(v));
      if (prop == "PixelsPerInch") return void(form->PixelsPerInch = Number(v));
      if (prop == "BorderStyle") return void(form->FixedSize = Ident(v) == "bsSingle" || Ident(v) == "bsDialog");
      if (prop == "BorderIcons") {
        form->MinimizeBox = Has(v, "biMinimize");
        form->MaximizeBox = Has(v, "biMaximize");
        return;
      }
      if (prop == "Position") return void(form->CenterOnScreen = Ident(v) == "poScreenCenter");
      if (prop == "ActiveControl") {
        auto* target = form->Find<TControl>(Ident(v));
        if (!target) Fail("no control " + v.text);
        form->ActiveControl = target;
        return;
      }
    }
    if (auto* bar = dynamic_cast<TProgressBar*>(&c)) {
      if (prop == "Min") return bar->SetMin(Number(v));
      if (prop == "Max") return bar->SetMax(Number(v));
      if (prop == "Position") return bar->SetPosition(Number(v));
      if (prop == "Smooth") return void(bar->Smooth = Bool(v));
    }
    if (auto* st = dynamic_cast<TStaticText*>(&c)) {
      if (prop == "BorderStyle") return void(st->Sunken = Ident(v) == "sbsSunken");
      if (prop == "AutoSize") return void(st->AutoSize = Bool(v));
    }
    if (auto* label = dynamic_cast<TLabel*>(&c)) {
      if (prop == "Alignment") {
        const std::string& a = Ident(v);
        label->Alignment = a == "taCenter" ? TAlignment::Center : a == "taRightJustify" ? TAlignment::Right : TAlignment::Left;
        return;
      }
      if (prop == "AutoSize") return void(label->AutoSize = Bool(v));
    }
    if (auto* panel = dynamic_cast<TPanel*>(&c)) {
      if (prop == "BevelOuter") {
        const std::string& b = Ident(v);
        panel->BevelOuter = b == "bvLowered" ? TPanel::Bevel::Lowered : b == "bvNone" ? TPanel::Bevel::None : TPanel::Bevel::Raised;
        return;
      }
    }
    Fail("unknown property " + prop + " of " + c.Kind());
  }

  TForm& form_;
  std::string_view text_;
  size_t pos_ = 0;
  int line_ = 0;
};

}  // namespace

void LoadForm(TForm& form, std::string_view description) { Loader(form, description).Run(); }

}  // namespace odu::platform

#pragma once

// A vertical column of many items of which only a few are real widgets. Every item has an
// identity, a kind and a height measured for the column's width and the item's content; widgets
// exist only for the items within half a screen of the viewport, and a widget that leaves is
// kept for the next item of its kind. When items come and go or change height, the first
// visible item stays where it stands, unless the column stood at its end while its width or
// height changed.

#include <QAbstractScrollArea>
#include <cstddef>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

namespace velmorine::workspace {

class ItemColumn : public QAbstractScrollArea {
  Q_OBJECT

 public:
  struct Item {
    std::string id;
    int kind = 0;
    // The content differs from what the column last showed under this identity.
    bool changed = true;
  };

  // What the column asks of the items' owner. Indexes refer to the items last set.
  class Delegate {
   public:
    virtual ~Delegate() = default;
    // A new widget for items of `kind`; the column owns it.
    virtual QWidget* create(int kind, QWidget* parent) = 0;
    // Shows item `index` in `widget`, made for its kind, `width` pixels wide.
    virtual void show(QWidget* widget, std::size_t index, int width) = 0;
    // The height of item `index` at `width`.
    virtual int measure(std::size_t index, int width) = 0;
    // The width an item's widget takes of `width`, and its left edge in it.
    virtual std::pair<int, int> placement(std::size_t, int width) { return {0, width}; }
  };

  enum class Anchor { top, bottom };

  explicit ItemColumn(Delegate& delegate, QWidget* parent = nullptr);
  ~ItemColumn() override;

  void setMargins(int left, int top, int right, int bottom);
  void setSpacing(int spacing);

  // Replaces the items. Items whose identity was shown before and that did not change keep
  // their height and widget; the first visible item keeps its place on screen.
  void setItems(std::vector<Item> items);
  std::size_t count() const { return rows_.size(); }
  const Item& item(std::size_t index) const { return rows_[index].item; }
  // The index of the item with `id`, or count() when there is none.
  std::size_t indexOf(const std::string& id) const;

  // Scrolls so that the item stands at the viewport's top or bottom; false for an unknown id.
  bool scrollTo(const std::string& id, Anchor anchor);
  void scrollToEnd();
  bool atEnd() const;

  // The item's rectangle in content coordinates, and the item widget shown for it (nullptr when
  // it is not realised).
  QRect itemRect(std::size_t index) const;
  QWidget* widgetFor(const std::string& id) const;
  // The realised widgets, shown or not.
  std::size_t realisedCount() const { return realised_.size(); }
  std::size_t spareCount() const;
  // The items that intersect the viewport.
  std::size_t visibleCount() const;
  int contentHeight() const { return contentHeight_; }
  int rowWidth() const;
  // Measures and shows every item again (a change of language or fonts).
  void invalidateAll();

 protected:
  void scrollContentsBy(int dx, int dy) override;
  void resizeEvent(QResizeEvent* event) override;
  void showEvent(QShowEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;
  QSize viewportSizeHint() const override;

 private:
  struct Row {
    Item item;
    int height = 0;
    int measuredWidth = -1;
    int top = 0;
  };
  struct Place {
    std::string id;
    int offset = 0;  // the item's top less the scroll value
  };

  // The first item whose bottom lies below `y`.
  std::size_t firstBelow(int y) const;
  std::optional<Place> firstVisible() const;
  // Measures what needs it, places every item, and sets the scroll range and value: the end
  // when `keepEnd`, else `place`'s item where it stood (or the first of `fallbacks`, in order,
  // that is still listed).
  void arrange(const std::optional<Place>& place, bool keepEnd,
               const std::vector<Row>* fallbacks = nullptr, std::size_t fallbackFrom = 0);
  void realise();
  void release(const std::string& id);

  Delegate& delegate_;
  int left_ = 0, top_ = 0, right_ = 0, bottom_ = 0, spacing_ = 0;
  std::vector<Row> rows_;
  std::unordered_map<std::string, std::size_t> index_;
  int contentHeight_ = 0;
  int laidOutWidth_ = -1;
  bool arranging_ = false;
  std::unordered_map<std::string, QWidget*> realised_;
  std::unordered_map<QWidget*, int> kindOf_;
  std::unordered_map<int, std::vector<QWidget*>> spare_;
};

}  // namespace velmorine::workspace

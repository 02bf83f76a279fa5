#include "tests/images/support/ImageCacheTestSupport.h"

#include "images/cache/CachesManagerOperation.h"
#include "images/cache/ImageCache.h"
#include "images/cache/ImageCachesManager.h"

#include <gtest/gtest.h>

#include <functional>
#include <vector>

using namespace velmora::images;
using velmora::images::test::paintedBitmap;

namespace {

// A cache that holds its answers until the test releases them, and records what it was asked.
class FakeCache : public AbstractImageCache {
public:
    using AbstractImageCache::queryImageForKey;
    using AbstractImageCache::storeImage;

    explicit FakeCache(QString name, Image image = {}) : name(std::move(name)), image(std::move(image)) {}

    QString name;
    Image image;
    std::vector<QString>* log = nullptr;
    std::vector<std::function<void()>> pending;

    void answerAll() {
        auto answers = std::move(pending);
        pending.clear();
        for (auto& answer : answers) {
            answer();
        }
    }

    std::shared_ptr<RemoteImageOperation> queryImageForKey(const QString&, RemoteImageOptions,
                                                           const RemoteImageContext&, ImageCacheType,
                                                           ImageCacheQueryCompletion completion) override {
        note(QStringLiteral("query"));
        pending.push_back([this, completion] {
            completion(image, std::nullopt, image ? ImageCacheType::Memory : ImageCacheType::None);
        });
        return nullptr;
    }
    void storeImage(const Image&, const std::optional<QByteArray>&, const QString&, RemoteImageOptions,
                    const RemoteImageContext&, ImageCacheType, ImageCacheCompletion completion) override {
        note(QStringLiteral("store"));
        pending.push_back(completion);
    }
    void removeImageForKey(const QString&, ImageCacheType, ImageCacheCompletion completion) override {
        note(QStringLiteral("remove"));
        pending.push_back(completion);
    }
    void containsImageForKey(const QString&, ImageCacheType,
                             ImageCacheContainsCompletion completion) override {
        note(QStringLiteral("contains"));
        pending.push_back(
            [this, completion] { completion(image ? ImageCacheType::Disk : ImageCacheType::None); });
    }
    void clearWithCacheType(ImageCacheType, ImageCacheCompletion completion) override {
        note(QStringLiteral("clear"));
        pending.push_back(completion);
    }

private:
    void note(const QString& what) {
        if (log) {
            log->push_back(name + QLatin1Char(':') + what);
        }
    }
};

struct Answers {
    int calls = 0;
    Image image;
    ImageCacheType type = ImageCacheType::All;
};

class ImageCachesManagerTest : public ::testing::Test {
protected:
    std::vector<QString> log;
    Image imageA{paintedBitmap(4, true)};
    Image imageB{paintedBitmap(4, false)};
    std::shared_ptr<FakeCache> a = std::make_shared<FakeCache>(QStringLiteral("A"));
    std::shared_ptr<FakeCache> b = std::make_shared<FakeCache>(QStringLiteral("B"));
    std::shared_ptr<ImageCachesManager> manager = std::make_shared<ImageCachesManager>();
    Answers answers;

    void SetUp() override {
        a->log = &log;
        b->log = &log;
        manager->setCaches({a, b}); // A added first, B last
    }
    ImageCacheQueryCompletion record() {
        return [this](const Image& image, const std::optional<QByteArray>&, ImageCacheType type) {
            ++answers.calls;
            answers.image = image;
            answers.type = type;
        };
    }
};

} // namespace

TEST_F(ImageCachesManagerTest, DefaultPoliciesAskTheLastAddedFirst) {
    a->image = imageA;
    const auto operation =
        manager->queryImageForKey(QStringLiteral("k"), 0, {}, ImageCacheType::All, record());
    ASSERT_NE(operation, nullptr);
    EXPECT_EQ(log, std::vector<QString>{QStringLiteral("B:query")});
    b->answerAll(); // B has nothing: A is asked next
    EXPECT_EQ(log.back(), QStringLiteral("A:query"));
    a->answerAll();
    EXPECT_EQ(answers.calls, 1);
    EXPECT_EQ(answers.image, imageA);
    EXPECT_TRUE(std::static_pointer_cast<CachesManagerOperation>(operation)->isFinished());

    log.clear();
    int stored = 0;
    manager->storeImage(imageA, std::nullopt, QStringLiteral("k"), ImageCacheType::All, [&] { ++stored; });
    EXPECT_EQ(log, std::vector<QString>{QStringLiteral("B:store")}); // highest only
    b->answerAll();
    EXPECT_EQ(stored, 1);

    log.clear();
    int removed = 0;
    manager->removeImageForKey(QStringLiteral("k"), ImageCacheType::All, [&] { ++removed; });
    EXPECT_EQ(log, (std::vector<QString>{QStringLiteral("B:remove"), QStringLiteral("A:remove")})); // at once
    b->answerAll();
    EXPECT_EQ(removed, 0);
    a->answerAll();
    EXPECT_EQ(removed, 1);

    log.clear();
    std::optional<ImageCacheType> contained;
    manager->containsImageForKey(QStringLiteral("k"), ImageCacheType::All,
                                 [&](ImageCacheType t) { contained = t; });
    b->answerAll();
    a->answerAll();
    EXPECT_EQ(log, (std::vector<QString>{QStringLiteral("B:contains"), QStringLiteral("A:contains")}));
    EXPECT_EQ(contained, ImageCacheType::Disk);
}

TEST_F(ImageCachesManagerTest, HighestOnlyAndConcurrentQueries) {
    a->image = imageA;
    manager->queryOperationPolicy = ImageCachesManagerOperationPolicy::HighestOnly;
    manager->queryImageForKey(QStringLiteral("k"), 0, {}, ImageCacheType::All, record());
    b->answerAll();
    EXPECT_EQ(log, std::vector<QString>{QStringLiteral("B:query")});
    EXPECT_EQ(answers.calls, 1);
    EXPECT_FALSE(answers.image);

    answers = {};
    b->image = imageB;
    manager->queryOperationPolicy = ImageCachesManagerOperationPolicy::Concurrent;
    manager->queryImageForKey(QStringLiteral("k"), 0, {}, ImageCacheType::All, record());
    a->answerAll(); // A answers first, with an image
    b->answerAll();
    EXPECT_EQ(answers.calls, 1);
    EXPECT_EQ(answers.image, imageA);
}

TEST_F(ImageCachesManagerTest, CancelledMidwayAnswersNothingAndAsksNoFurther) {
    b->image = Image();
    a->image = imageA;
    const auto operation =
        manager->queryImageForKey(QStringLiteral("k"), 0, {}, ImageCacheType::All, record());
    operation->cancel();
    b->answerAll();
    a->answerAll();
    EXPECT_EQ(log, std::vector<QString>{QStringLiteral("B:query")});
    EXPECT_EQ(answers.calls, 0);

    // Concurrent: after the cancel no answer, however many arrive.
    manager->queryOperationPolicy = ImageCachesManagerOperationPolicy::Concurrent;
    const auto concurrent =
        manager->queryImageForKey(QStringLiteral("k"), 0, {}, ImageCacheType::All, record());
    concurrent->cancel();
    a->answerAll();
    b->answerAll();
    EXPECT_EQ(answers.calls, 0);
}

TEST_F(ImageCachesManagerTest, EmptyListAndMissingKeyAnswerNothing) {
    manager->setCaches({});
    EXPECT_EQ(manager->queryImageForKey(QStringLiteral("k"), 0, {}, ImageCacheType::All, record()), nullptr);
    manager->setCaches({a});
    EXPECT_EQ(manager->queryImageForKey(QString(), 0, {}, ImageCacheType::All, record()), nullptr);
    EXPECT_EQ(answers.calls, 0);
    EXPECT_TRUE(log.empty());
}

TEST(ImageCachesManagerDefaults, StartsWithTheSharedCacheOnly) {
    ImageCachesManager manager;
    ASSERT_EQ(manager.caches().size(), 1u);
    EXPECT_EQ(manager.caches().front(), ImageCache::sharedImageCache());
}

TEST(CachesManagerOperation, CountsDownAndEnds) {
    CachesManagerOperation operation;
    int finishedChanges = 0;
    QObject::connect(&operation, &CachesManagerOperation::isFinishedChanged, [&] { ++finishedChanges; });
    operation.beginWithTotalCount(2);
    operation.completeOne();
    EXPECT_EQ(operation.pendingCount(), 1u);
    operation.completeOne();
    operation.completeOne();
    EXPECT_EQ(operation.pendingCount(), 0u);
    operation.beginWithTotalCount(3);
    operation.cancel();
    EXPECT_TRUE(operation.isCancelled());
    EXPECT_TRUE(operation.isExecuting());
    EXPECT_FALSE(operation.isFinished());
    EXPECT_EQ(operation.pendingCount(), 0u);
    operation.done();
    EXPECT_TRUE(operation.isFinished());
    EXPECT_FALSE(operation.isExecuting());
    EXPECT_EQ(finishedChanges, 3);
}

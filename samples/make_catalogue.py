"""Writes samples/catalogue.tsv, a small catalogue of search terms and videos.

The data are synthetic: the terms are made by combining the word lists below with
query patterns, and the video ids, the term counts and the video counts come from
a random generator with a fixed seed, so that every run writes the same file. No
real search log or video is behind any of it.

Each subject (say "chicken curry") has a few videos of its own, each topic a few
general ones; a term ("easy chicken curry") links to 1 to 5 of them, mostly its
subject's. Counts fall off with the rank of the subject and of the query pattern
(Zipf-like), and a term's videos share part of the term's count, the first one
the most.

Output: one row per (term, video) under the header ``term, count, video_id,
video_count`` (tab-separated). ``count`` is the term's total and is repeated on
each of its rows; ``video_id`` is a UUID in its 36-character form.

    python3 samples/make_catalogue.py [OUTPUT]
"""

from __future__ import annotations

import random
import sys
import uuid
from pathlib import Path

SEED = 20240611
TERM_TARGET = 3000

# topic: (subjects, most popular first; query patterns, most popular first)
TOPICS: dict[str, tuple[list[str], list[str]]] = {
    "cooking": (
        [
            "chicken curry", "banana bread", "pad thai", "sourdough bread", "butter chicken",
            "lasagna", "pancakes", "crème brûlée", "jalapeño poppers", "beef stew",
            "chocolate chip cookies", "ramen", "tiramisu", "guacamole", "risotto",
            "apple pie", "falafel", "mac and cheese", "crêpes", "paella",
            "gnocchi", "french toast", "tomato soup", "croissants", "ratatouille",
            "pão de queijo", "phở bò", "smørrebrød", "tikka masala", "carbonara",
            "fried rice", "shakshuka", "bibimbap", "empanadas", "moussaka",
            "fish tacos", "lemon drizzle cake", "goulash", "dumplings", "focaccia",
        ],
        [
            "{s}", "{s} recipe", "easy {s}", "how to make {s}", "homemade {s}",
            "{s} from scratch", "best {s} recipe", "vegan {s}", "quick {s}",
            "authentic {s}", "{s} for beginners",
        ],
    ),
    "music": (
        [
            "guitar", "piano", "guitar chords", "drums", "ukulele", "bass guitar",
            "acoustic guitar", "violin", "music theory", "jazz piano", "blues guitar",
            "fingerstyle guitar", "songwriting", "saxophone", "singing", "music production",
            "synthesizer", "dj mixing", "electric guitar solos", "cello",
            "harmonica", "flute", "trumpet", "mandolin", "beat making",
            "ear training", "sight reading", "chord progressions", "vocal warm ups", "banjo",
        ],
        [
            "{s}", "{s} lesson", "{s} for beginners", "learn {s}", "{s} tutorial",
            "easy {s} songs", "how to play {s}", "{s} practice routine", "advanced {s}",
            "{s} tips", "{s} exercises",
        ],
    ),
    "sport": (
        [
            "football", "basketball", "tennis", "golf swing", "marathon training",
            "swimming", "yoga", "rock climbing", "skateboarding", "cycling", "boxing",
            "table tennis", "volleyball", "cricket", "skiing", "surfing", "badminton",
            "formula 1", "jiu jitsu", "pilates",
            "ice hockey", "rugby", "baseball pitching", "snowboarding", "archery",
            "fencing", "kayaking", "bouldering", "triathlon", "chess openings",
        ],
        [
            "{s}", "{s} highlights", "{s} tips", "{s} for beginners", "{s} drills",
            "{s} training", "how to get better at {s}", "common {s} mistakes",
            "{s} workout", "best {s} moments",
        ],
    ),
    "science": (
        [
            "black holes", "quantum physics", "photosynthesis", "plate tectonics",
            "dna replication", "the periodic table", "climate change", "volcanoes",
            "the solar system", "electricity", "evolution", "general relativity",
            "chemical bonds", "the immune system", "string theory", "entropy",
            "schrödinger's cat", "neutron stars", "cell division", "the big bang",
            "dark matter", "gravitational waves", "the water cycle", "magnetism",
            "crispr", "the higgs boson", "ocean currents", "nuclear fusion", "mitochondria",
            "the speed of light",
        ],
        [
            "{s}", "{s} explained", "what is {s}", "{s} for kids", "{s} documentary",
            "{s} in 5 minutes", "introduction to {s}", "{s} lecture", "{s} simply explained",
        ],
    ),
    "travel": (
        [
            "tokyo", "paris", "iceland", "new york", "barcelona", "bali", "lisbon",
            "kyoto", "são paulo", "zürich", "reykjavík", "marrakech", "cape town",
            "istanbul", "mexico city", "hanoi", "kraków", "montréal", "seoul", "rome",
            "buenos aires", "vienna", "prague", "amsterdam", "bangkok", "sydney",
            "copenhagen", "edinburgh", "dubrovnik", "new zealand",
        ],
        [
            "{s}", "{s} travel guide", "things to do in {s}", "{s} on a budget",
            "{s} street food", "3 days in {s}", "{s} vlog", "where to stay in {s}",
            "{s} walking tour", "moving to {s}", "{s} hidden gems",
        ],
    ),
    "technology": (
        [
            "python", "javascript", "excel", "sql", "linux", "git", "machine learning",
            "docker", "rust", "react", "c++", "web development", "data structures",
            "raspberry pi", "arduino", "photoshop", "blender", "kubernetes", "java",
            "typescript",
            "go", "swift", "powershell", "vim", "regex", "css grid", "pandas",
            "unity", "aws", "cybersecurity",
        ],
        [
            "{s}", "{s} tutorial", "learn {s}", "{s} for beginners", "{s} crash course",
            "{s} full course", "{s} interview questions", "{s} project ideas",
            "{s} tips and tricks", "{s} in 100 seconds",
        ],
    ),
    "fitness": (
        [
            "home workout", "push ups", "stretching", "abs workout", "hiit", "squats",
            "weight loss", "running form", "kettlebell", "pull ups", "mobility",
            "leg day", "calisthenics", "posture",
            "deadlift", "bench press", "jump rope", "resistance bands", "foam rolling",
            "core strength",
        ],
        [
            "{s}", "{s} for beginners", "10 minute {s}", "{s} routine", "{s} challenge",
            "{s} at home", "{s} mistakes", "daily {s}",
        ],
    ),
    "home and garden": (
        [
            "tomato plants", "houseplants", "composting", "raised beds", "succulents",
            "lawn care", "pruning roses", "woodworking", "tiling a bathroom",
            "painting walls", "fixing a leaky tap", "bonsai",
            "herb garden", "orchids", "hanging shelves", "wallpapering",
            "grafting fruit trees", "beekeeping", "chicken coop", "potato growing",
        ],
        [
            "{s}", "{s} guide", "{s} for beginners", "{s} tips", "how to start {s}",
            "{s} mistakes to avoid", "diy {s}",
        ],
    ),
    "languages": (
        [
            "spanish", "japanese", "french", "german", "korean", "italian",
            "mandarin", "portuguese", "english grammar", "arabic",
            "dutch", "swedish", "hindi", "turkish", "polish", "greek",
        ],
        [
            "learn {s}", "{s} for beginners", "{s} lesson 1", "{s} pronunciation",
            "{s} listening practice", "{s} phrases for travel", "{s} vocabulary",
            "{s} conversation",
        ],
    ),
    "gaming": (
        [
            "minecraft", "elden ring", "chess", "speedrun", "zelda", "fortnite",
            "stardew valley", "pokémon", "dark souls", "tetris", "rocket league",
            "hollow knight", "counter strike", "retro games", "game development",
        ],
        [
            "{s}", "{s} walkthrough", "{s} tips", "{s} guide", "{s} for beginners",
            "{s} funny moments", "{s} live stream", "{s} best builds",
        ],
    ),
    "art": (
        [
            "watercolor", "portrait drawing", "oil painting", "calligraphy", "pottery",
            "digital art", "anime drawing", "charcoal sketching", "perspective drawing",
            "knitting", "crochet", "embroidery", "origami", "acrylic pour", "linocut",
        ],
        [
            "{s}", "{s} tutorial", "{s} for beginners", "{s} techniques", "easy {s}",
            "{s} time lapse", "{s} supplies", "learn {s}",
        ],
    ),
    "history": (
        [
            "the roman empire", "world war 2", "ancient egypt", "the cold war",
            "the vikings", "the renaissance", "the french revolution", "the silk road",
            "the industrial revolution", "the ottoman empire", "ancient greece",
            "the aztecs", "the space race", "medieval castles", "the byzantine empire",
        ],
        [
            "{s}", "{s} documentary", "{s} explained", "history of {s}",
            "{s} timeline", "{s} facts", "the fall of {s}", "{s} in 10 minutes",
        ],
    ),
    "money": (
        [
            "budgeting", "index funds", "investing", "taxes", "credit scores",
            "saving money", "retirement planning", "stock market", "real estate",
            "side hustles", "compound interest", "crypto",
        ],
        [
            "{s}", "{s} for beginners", "{s} explained", "{s} tips", "{s} mistakes",
            "how {s} works", "{s} 101", "{s} basics",
        ],
    ),
    "pets": (
        [
            "puppy training", "cat behaviour", "aquarium setup", "dog grooming",
            "hamster care", "parrot talking", "horse riding", "rabbit care",
            "leash training", "kitten care", "reptile care", "dog tricks",
        ],
        [
            "{s}", "{s} tips", "{s} for beginners", "{s} guide", "{s} mistakes",
            "{s} at home", "easy {s}",
        ],
    ),
}

# Terms that fit no pattern, emoji included.
EXTRA_TERMS: dict[str, list[str]] = {
    "cooking": ["🍕 pizza dough", "café au lait", "croque monsieur"],
    "music": ["🎸 guitar riffs", "für elise piano"],
}


def zipf_weights(n: int, s: float) -> list[float]:
    return [1.0 / (rank + 1) ** s for rank in range(n)]


def make_rows(rng: random.Random) -> list[tuple[str, int, str, int]]:
    def new_video() -> str:
        return str(uuid.UUID(int=rng.getrandbits(128), version=4))

    # (term, topic, subject, popularity), deduplicated by term, in a fixed order.
    candidates: dict[str, tuple[str, str, float]] = {}
    for topic, (subjects, patterns) in TOPICS.items():
        for si, subject in enumerate(subjects):
            for pi, pattern in enumerate(patterns):
                term = pattern.format(s=subject)
                popularity = 1.0 / (si + 1) ** 0.9 / (pi + 1) ** 0.8
                candidates.setdefault(term, (topic, subject, popularity))
    for topic, terms in EXTRA_TERMS.items():
        for term in terms:
            candidates.setdefault(term, (topic, term, 0.3))

    chosen = list(candidates)
    if len(chosen) > TERM_TARGET:
        chosen = rng.sample(chosen, TERM_TARGET)
    chosen.sort()

    topic_videos = {topic: [new_video() for _ in range(8)] for topic in TOPICS}
    subject_videos: dict[str, list[str]] = {}
    videos_per_term = zipf_weights(5, 2.4)  # mostly one or two videos

    rows: list[tuple[str, int, str, int]] = []
    for term in chosen:
        topic, subject, popularity = candidates[term]
        own = subject_videos.setdefault(
            subject, [new_video() for _ in range(rng.randint(2, 6))]
        )
        k = rng.choices(range(1, 6), weights=videos_per_term)[0]
        pool = own + rng.sample(topic_videos[topic], 3)
        videos = rng.sample(pool[: len(own)], min(k, len(own)))
        while len(videos) < k:
            extra = rng.choice(pool)
            if extra not in videos:
                videos.append(extra)

        count = max(1, round(50_000 * popularity * rng.lognormvariate(0.0, 0.6)))
        clicked = count * rng.uniform(0.3, 0.9)
        weights = zipf_weights(k, 1.2)
        total = sum(weights)
        for video, weight in zip(videos, weights):
            rows.append((term, count, video, max(1, round(clicked * weight / total))))
    return rows


def main(argv: list[str]) -> None:
    out = Path(argv[1]) if len(argv) > 1 else Path(__file__).with_name("catalogue.tsv")
    rows = make_rows(random.Random(SEED))
    with out.open("w", encoding="utf-8", newline="\n") as f:
        f.write("term\tcount\tvideo_id\tvideo_count\n")
        for term, count, video, video_count in rows:
            assert "\t" not in term and "\n" not in term, term
            f.write(f"{term}\t{count}\t{video}\t{video_count}\n")
    terms = len({row[0] for row in rows})
    videos = len({row[2] for row in rows})
    print(f"{out}: {terms} terms, {videos} videos, {len(rows)} rows, {out.stat().st_size} bytes")


if __name__ == "__main__":
    main(sys.argv)

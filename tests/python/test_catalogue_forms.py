"""Catalogues in the forms users write them, built by the command line as users run it."""

from __future__ import annotations

import pytest

from brindlex import Index
from test_cli import brindlex

TOP = 2**32 - 1

# (file name, content, build options, the terms and counts built, videos of "cat" or an
# error's words). A header of two columns is a catalogue without videos; JSON lines may
# leave out video_id and video_count together; --sum-counts adds a term's rows up.
FORMS = [
    ("terms.tsv", "term\tcount\ncat\t3\nDog\t2\n\n", [], {"cat": 3, "dog": 2}, []),
    ("terms.tsv", "count\tterm\n3\tcat\n2\t Dog \n1\tdog\n", [], {"cat": 3, "dog": 3}, []),
    ("terms.tsv", "term\tcount\ncat\t3\ndog\t2\t7\n", [], None, "terms.tsv:3: expected 2 tab-separated fields, found 3"),
    ("terms.tsv", "term\tcount\tvideo_id\ncat\t3\t7\n", [], None, "terms.tsv:1: the header must name the columns"),
    ("terms.jsonl", '{"term": "cat", "count": 3}\n{"count": 2, "term": "dog"}\n', [], {"cat": 3, "dog": 2}, []),
    ("sized.tsv", "term\tcount\ncat\t3\ndog\t2\ncat\t4\n", [], None,
     "sized.tsv:4: term 'cat' has count 4 here but 3 on line 2 (brindlex build --sum-counts adds them up)"),
    ("sized.tsv", "term\tcount\ncat\t3\ndog\t2\ncat\t4\n", ["--sum-counts"], {"cat": 7, "dog": 2}, []),
    ("sized.tsv", f"term\tcount\ncat\t{TOP}\ncat\t4\n", ["--sum-counts"], {"cat": TOP}, []),
    ("sized.jsonl", '{"term": "cat", "count": 3, "video_id": 7, "video_count": 5}\n{"term": "cat", "count": 3}\n'
     '{"term": "Cat", "count": 1, "video_id": 8, "video_count": 1}\n', ["--sum-counts"], {"cat": 7}, [7, 8]),
    ("sized.jsonl", '{"term": "cat", "count": 3, "video_id": 7, "video_count": 5}\n{"term": "cat", "count": 3}\n',
     [], {"cat": 3}, [7]),
    ("sized.jsonl", '{"term": "cat", "count": 3, "video_id": 7, "video_count": 5}\n{"term": "cat", "count": 2}\n',
     [], None, "sized.jsonl:2: term 'cat' has count 2 here but 3 on line 1 (brindlex build --sum-counts"),
]


@pytest.mark.parametrize("name, content, options, terms, outcome", FORMS)
def test_catalogue_forms_build_or_say_why(tmp_path, name, content, options, terms, outcome):
    source = tmp_path / name
    source.write_text(content, encoding="utf-8")
    out = tmp_path / "out.brx"
    result = brindlex("build", source, "-o", out, *options)
    if terms is None:
        assert result.returncode == 1
        assert f"brindlex: {source.parent}/{outcome}" in result.stderr, result.stderr
        assert not out.exists()
        return
    assert result.returncode == 0, result.stderr
    index = Index.load(out)
    assert len(index) == len(terms)
    assert {term: index.count(term) for term in terms} == terms
    # Terms show as the catalogue spelt them, their whitespace squeezed as the key's is.
    assert sorted(index.keys()) == sorted(" ".join(key.split()) for key in index.keys()) != []
    assert sorted(int(video) for video, _ in index.videos("cat", max_dist=0)) == outcome

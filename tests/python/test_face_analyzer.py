"""The kx_tracker module against the C++ library, its argument checks, and
analyzers on several threads."""
import os
import re
import sys
import threading

import numpy as np
import pytest

import kx_tracker
from conftest import MODEL_DIR, shifted_frames


def test_version_is_the_projects():
    assert re.fullmatch(r"\d+\.\d+\.\d+", kx_tracker.__version__)
    if "KX_VERSION" in os.environ:
        assert kx_tracker.__version__ == os.environ["KX_VERSION"]


def test_default_models_of_a_build_tree_are_the_source_trees():
    analyzer = kx_tracker.FaceAnalyzer()
    assert os.path.samefile(analyzer.model_dir, MODEL_DIR)
    assert analyzer.max_faces == 4
    assert "max_faces=4" in repr(analyzer)


def points_of(expected, count):
    return np.array(expected, dtype=np.float32).reshape(-1, count, 2)


def expect_faces(faces, expected, with5, with95):
    assert faces.boxes.dtype == np.int32 and faces.boxes.shape == (len(expected["boxes"]), 4)
    np.testing.assert_array_equal(faces.boxes, np.array(expected["boxes"], dtype=np.int32).reshape(-1, 4))
    assert faces.scores.dtype == np.float32
    np.testing.assert_array_equal(faces.scores, np.array(expected["scores"], dtype=np.float32))
    if with5:
        assert faces.points5.dtype == np.float32
        np.testing.assert_array_equal(faces.points5, points_of(expected["points5"], 5))
    else:
        assert faces.points5 is None
    if with95:
        np.testing.assert_array_equal(faces.points95, points_of(expected["points95"], 95))
    else:
        assert faces.points95 is None


def test_results_equal_the_cpp_interface_on_the_portraits(portraits, cpp_answers):
    for name, image in portraits.items():
        expected = cpp_answers[name]
        # The same calls, in the same order, on a fresh analyzer, as the reference.
        analyzer = kx_tracker.FaceAnalyzer(str(MODEL_DIR), 4)
        detected = analyzer.detect(image)
        assert len(detected.boxes) >= 1, f"no face found in {name}"
        expect_faces(detected, expected["detect"], False, False)
        expect_faces(analyzer.detect_align5(image), expected["detect_align5"], True, False)
        expect_faces(analyzer.detect_align95(image), expected["detect_align95"], True, True)
        points5, points95 = analyzer.align95(image, detected.boxes)
        np.testing.assert_array_equal(points5, points_of(expected["align95"]["points5"], 5))
        np.testing.assert_array_equal(points95, points_of(expected["align95"]["points95"], 95))
        for frame, shapes in zip(shifted_frames(image), expected["track"]):
            tracked = analyzer.track(frame)
            assert tracked.dtype == np.float32
            np.testing.assert_array_equal(tracked, points_of(shapes, 95))
        assert analyzer.tracking_detector_runs >= 1


@pytest.fixture(scope="module")
def analyzer():
    return kx_tracker.FaceAnalyzer(MODEL_DIR, max_faces=2)  # a path object is accepted too


@pytest.mark.parametrize("image, error, words", [
    ([[[0, 0, 0]]], TypeError, "numpy.ndarray"),
    (None, TypeError, "numpy.ndarray"),
    (np.zeros((8, 8, 3), np.float32), TypeError, "uint8"),
    (np.zeros((8, 8, 3), np.int8), TypeError, "uint8"),
    (np.zeros((8, 8), np.uint8), ValueError, "(H, W, 3)"),
    (np.zeros((8, 8, 4), np.uint8), ValueError, "(H, W, 3)"),
    (np.zeros((2, 8, 8, 3), np.uint8), ValueError, "(H, W, 3)"),
])
def test_wrong_images_raise_naming_what_is_expected(analyzer, image, error, words):
    for call in (analyzer.detect, analyzer.detect_align5, analyzer.detect_align95, analyzer.track,
                 lambda i: analyzer.align95(i, [[0, 0, 4, 4]])):
        with pytest.raises(error, match=re.escape(words)):
            call(image)


def test_strided_images_are_copied_and_empty_ones_find_nothing(analyzer, portraits):
    image = next(iter(portraits.values()))
    mirrored = image[:, ::-1]
    assert not mirrored.flags.c_contiguous
    expected = analyzer.detect_align95(np.ascontiguousarray(mirrored))
    got = analyzer.detect_align95(mirrored)
    for field in ("boxes", "scores", "points5", "points95"):
        np.testing.assert_array_equal(getattr(got, field), getattr(expected, field))
    # Every other row: a positive row step larger than the row, also copied.
    np.testing.assert_array_equal(analyzer.detect(image[::2]).boxes,
                                  analyzer.detect(np.ascontiguousarray(image[::2])).boxes)
    for empty in (np.zeros((0, 0, 3), np.uint8), np.zeros((0, 5, 3), np.uint8)):
        faces = analyzer.detect_align95(empty)
        assert faces.boxes.shape == (0, 4) and faces.scores.shape == (0,)
        assert faces.points5.shape == (0, 5, 2) and faces.points95.shape == (0, 95, 2)
        assert analyzer.track(empty).shape == (0, 95, 2)


def test_align95_boxes(analyzer, portraits):
    image = next(iter(portraits.values()))
    boxes = analyzer.detect(image).boxes
    points5, points95 = analyzer.align95(image, boxes.tolist())  # lists of ints as well as arrays
    assert points5.shape == (len(boxes), 5, 2) and points95.shape == (len(boxes), 95, 2)
    np.testing.assert_array_equal(analyzer.align95(image, boxes.astype(np.int64))[1], points95)
    for no_boxes in ([], np.zeros((0, 4), np.int32)):
        p5, p95 = analyzer.align95(image, no_boxes)
        assert p5.shape == (0, 5, 2) and p95.shape == (0, 95, 2)
    with pytest.raises(TypeError, match="integers"):
        analyzer.align95(image, boxes.astype(np.float32))
    with pytest.raises(ValueError, match=re.escape("(N, 4)")):
        analyzer.align95(image, [[1, 2, 3]])
    with pytest.raises(ValueError, match=re.escape("(N, 4)")):
        analyzer.align95(image, [[1, 2, 3, 4], [1, 2]])
    with pytest.raises(ValueError, match="32-bit"):
        analyzer.align95(image, [[0, 0, 2**40, 10]])


def test_bad_construction_raises(tmp_path):
    with pytest.raises(ValueError, match="max_faces"):
        kx_tracker.FaceAnalyzer(MODEL_DIR, 0)
    (tmp_path / "model95_tern.bin").write_bytes(b"")
    with pytest.raises(FileNotFoundError) as raised:
        kx_tracker.FaceAnalyzer(str(tmp_path))
    message = str(raised.value)
    assert str(tmp_path) in message and "frcnn_full_cross_500000.dat" in message
    assert "model95_tern.bin" not in message
    with pytest.raises(TypeError):
        kx_tracker.FaceAnalyzer(42)


def test_two_analyzers_on_two_threads_give_the_sequential_results(portraits):
    images = list(portraits.values())
    single = kx_tracker.FaceAnalyzer(MODEL_DIR)
    expected = [single.detect_align95(image) for image in images]
    analyzers = [kx_tracker.FaceAnalyzer(MODEL_DIR) for _ in range(2)]
    results = [[] for _ in analyzers]

    def work(index):
        for _ in range(3):
            for image in images:
                results[index].append(analyzers[index].detect_align95(image))

    threads = [threading.Thread(target=work, args=(k,)) for k in range(len(analyzers))]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    for got in results:
        assert len(got) == 3 * len(images)
        for k, faces in enumerate(got):
            want = expected[k % len(images)]
            for field in ("boxes", "scores", "points5", "points95"):
                np.testing.assert_array_equal(getattr(faces, field), getattr(want, field))


def test_calls_let_other_python_threads_run(portraits):
    # With a switch interval far longer than the test, a thread holding the
    # interpreter lock keeps it until it blocks or ends. The main thread can
    # therefore only see `finished` unset while the worker is inside the call
    # if the call gave the lock up.
    analyzer = kx_tracker.FaceAnalyzer(MODEL_DIR)
    image = next(iter(portraits.values()))
    calling, finished = threading.Event(), threading.Event()

    def work():
        calling.set()
        analyzer.detect_align95(image)
        finished.set()

    interval = sys.getswitchinterval()
    sys.setswitchinterval(1000.0)
    try:
        worker = threading.Thread(target=work)
        worker.start()
        calling.wait()
        ran_during_call = not finished.is_set()
        worker.join()
    finally:
        sys.setswitchinterval(interval)
    assert ran_during_call

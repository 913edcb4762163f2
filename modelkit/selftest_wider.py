"""Checks of the WIDER FACE tool-chain (no data sets needed), run by
`/usr/bin/python3 -m modelkit selftest` with the others:

- label.txt reading: photos, boxes, zero-size boxes skipped, malformed files
  refused; the validation split is by file name, not by folder or order;
- the WIDER -> canonical box mapping keeps the measured offsets;
- the matching rule of the validation report at its edges (centres inside
  each other, factor two of the longer sides, faces matched once, small
  faces neither hit nor false);
- real-photo scenes: their boxes stay on the faces through scaling, cutting
  and mirroring; small and cut faces become ignore regions; the proposal
  and second-stage labels leave ignore regions untaught;
- the second-stage refit on whole photos: its overlap labels and box
  targets, mirrored photos, and that it trains the second stage alone.
"""
import contextlib
import io
import os
import tempfile
import unittest

import numpy as np
import torch

from modelkit.data import wider, wider_scenes
from modelkit.evaluate import wider as eval_wider
from modelkit.train import detector as train_detector


class WiderLabelFile(unittest.TestCase):
    def read(self, text):
        with tempfile.NamedTemporaryFile("w", suffix=".txt", delete=False) as f:
            f.write(text)
        try:
            return wider.read_labels(f.name)
        finally:
            os.remove(f.name)

    def test_photos_and_boxes_in_order_zero_sizes_skipped(self):
        got = self.read("# 0--Parade/a.jpg\n1 2 3 4\n5 6 0 8\n# 1--B/b.jpg\n# 2--C/c.jpg\n9.5 1 2 0\n10 11 12 13\n")
        self.assertEqual([n for n, _ in got], ["0--Parade/a.jpg", "1--B/b.jpg", "2--C/c.jpg"])
        np.testing.assert_array_equal(got[0][1], [[1, 2, 3, 4]])
        self.assertEqual(got[1][1].shape, (0, 4))
        np.testing.assert_array_equal(got[2][1], [[10, 11, 12, 13]])

    def test_malformed_files_are_refused(self):
        with self.assertRaises(ValueError):
            self.read("1 2 3 4\n# a.jpg\n")
        with self.assertRaises(ValueError):
            self.read("# a.jpg\n1 2 3\n")

    def test_split_follows_the_file_name_only(self):
        names = ["%d--E/e_%d.jpg" % (i % 7, i) for i in range(3000)]
        val = [n for n in names if wider.is_validation(n)]
        self.assertTrue(0.15 < len(val) / len(names) < 0.21, len(val))
        for n in val[:50]:
            self.assertTrue(wider.is_validation("99--Other/" + os.path.basename(n)))


class WiderBoxMapping(unittest.TestCase):
    def test_canonical_box_is_a_square_at_the_measured_offset(self):
        b = wider.canonical_from_wider([[100, 50, 40, 50]])[0]
        side = wider.SIDE_PER_HEIGHT * 50
        self.assertAlmostEqual(b[2] - b[0], side)
        self.assertAlmostEqual(b[3] - b[1], side)
        self.assertAlmostEqual((b[0] + b[2]) / 2, 120 + wider.CENTRE_DX * 50)
        self.assertAlmostEqual((b[1] + b[3]) / 2, 75 + wider.CENTRE_DY * 50)


class WiderMatchingRule(unittest.TestCase):
    face = (100, 100, 40, 50)

    def test_centres_inside_each_other_and_sides_within_two(self):
        self.assertTrue(eval_wider.hits((90, 95, 60, 60), self.face))
        # Longer sides 50 and 100: exactly a factor two still hits, past it not.
        self.assertTrue(eval_wider.hits((70, 75, 100, 100), self.face))
        self.assertFalse(eval_wider.hits((69, 74, 102, 102), self.face))
        self.assertFalse(eval_wider.hits((110, 110, 24, 24), self.face))
        # The detection holds the face's centre, but its own centre is off the face.
        self.assertFalse(eval_wider.hits((115, 120, 60, 60), self.face))

    def test_each_face_once_duplicates_false_small_faces_neither(self):
        faces = [self.face, (300, 300, 10, 12)]
        dets = [(90, 95, 60, 60, 0.9), (92, 96, 58, 58, 0.8), (297, 297, 16, 16, 0.7), (500, 10, 30, 30, 0.6)]
        taken, false, neither = eval_wider.match(dets, faces)
        self.assertEqual(list(taken), [True, False])
        # The duplicate lands on a face already matched: neither; so does the
        # box on the 12-px face; the box on nothing is false.
        self.assertEqual((false, neither), (1, 2))

    def test_a_detection_takes_the_nearest_free_face(self):
        faces = [(100, 100, 40, 40), (112, 100, 40, 40)]
        taken, false, _ = eval_wider.match([(108, 98, 44, 44, 1.0)], faces)
        self.assertEqual(list(taken), [False, True])
        self.assertEqual(false, 0)


class Photo:
    def __init__(self, path, boxes):
        self.path, self.boxes, self.name = path, np.asarray(boxes, np.float64), os.path.basename(path)


class WiderScenes(unittest.TestCase):
    def setUp(self):
        import cv2
        self.tmp = tempfile.TemporaryDirectory()
        img = np.full((400, 600, 3), 40, np.uint8)
        # One large bright face-sized block and one tiny one, boxed as WIDER boxes them.
        img[100:180, 200:264] = 250
        img[300:306, 500:505] = 250
        self.path = os.path.join(self.tmp.name, "p.png")
        cv2.imwrite(self.path, img)
        self.boxes = [[200, 100, 64, 80], [500, 300, 5, 6]]

    def tearDown(self):
        self.tmp.cleanup()

    def test_boxes_stay_on_their_faces_through_scale_cut_and_mirror(self):
        maker = wider_scenes.WiderSceneMaker([Photo(self.path, self.boxes)], size=256, seed=3)
        seen = 0
        for _ in range(60):
            scene, faces, ignore = maker.scene()
            grey = scene.mean(axis=2)
            for b in faces:
                cx, cy = (b[0] + b[2]) / 2, (b[1] + b[3]) / 2
                if 0 <= cx < 256 and 0 <= cy < 256:
                    # The block is bright whatever the photometric jitter did to
                    # the dark surroundings.
                    self.assertGreater(grey[int(cy), int(cx)], grey.mean(), (b, _))
                    seen += 1
            for b in faces:
                self.assertGreaterEqual(b[2] - b[0], wider_scenes.MIN_SIDE)
        self.assertGreater(seen, 10)

    def test_whole_photos_keep_their_faces_and_shape(self):
        maker = wider_scenes.WiderSceneMaker([Photo(self.path, self.boxes)], size=256, seed=5)
        mirrored = 0
        for _ in range(30):
            img, faces, ignore = maker.photo()
            h, w = img.shape[:2]
            k = w / 600.0
            self.assertTrue(wider_scenes.PHOTO_SCALES[0] - 0.01 <= k <= wider_scenes.PHOTO_SCALES[1] + 0.01)
            self.assertAlmostEqual(h / 400.0, k, delta=0.01)
            # The large face is taught, the tiny one only ignored.
            self.assertEqual((len(faces), len(ignore)), (1, 1))
            b = faces[0]
            grey = img.mean(axis=2)
            self.assertGreater(grey[int((b[1] + b[3]) / 2), int((b[0] + b[2]) / 2)], grey.mean())
            mirrored += (b[0] + b[2]) / 2 > w / 2
        self.assertTrue(0 < mirrored < 30)

    def test_small_and_cut_faces_are_ignored_not_taught(self):
        boxes = np.array([[10, 10, 60, 60], [100, 100, 106, 106], [-40, 50, 10, 100]], np.float64)
        faces, ignore = wider_scenes._split(boxes, 256)
        np.testing.assert_array_equal(faces, boxes[:1])
        self.assertEqual(len(ignore), 2)
        small = ignore[0]
        self.assertAlmostEqual(small[2] - small[0], 6 * wider_scenes.IGNORE_GROW)
        np.testing.assert_array_equal(ignore[1], boxes[2])
        # A wide scene: the face at x 300 is inside at width 400, not at 256.
        wide = np.array([[300, 10, 350, 60]], np.float64)
        self.assertEqual(len(wider_scenes._split(wide, 400, 200)[0]), 1)
        self.assertEqual(len(wider_scenes._split(wide, 256)[0]), 0)

    def test_proposal_labels_leave_ignore_regions_untaught(self):
        stride, n = 8, 32
        plain, _ = train_detector.rpn_targets(np.zeros((0, 4)), n, n, stride)
        self.assertTrue((plain == 0).all())
        lab, _ = train_detector.rpn_targets(np.zeros((0, 4)), n, n, stride, [[40, 40, 80, 80]])
        xs, ys, _ = train_detector.dn.anchor_centres(n, n, stride)
        inside = ((xs >= 40) & (xs <= 80))[None, :] & ((ys >= 40) & (ys <= 80))[:, None]
        self.assertTrue((lab[inside] == -1).all())
        self.assertTrue((lab[~inside] == 0).all())
        # A face inside an ignore region keeps its face cells.
        lab, _ = train_detector.rpn_targets(np.array([[50, 50, 70, 70]]), n, n, stride, [[40, 40, 80, 80]])
        self.assertGreater((lab == 1).sum(), 0)

    def test_second_stage_background_near_ignore_regions_is_untaught(self):
        score = torch.full((1, 32, 32), -5.0)
        delta = torch.zeros((1, 4, 32, 32))
        score[0, 10, 10] = 5.0   # one proposal, at cell (10, 10): a 128-px square around (87.5, 87.5)
        ign = torch.tensor([[24.0, 24.0, 152.0, 152.0]])
        from torchvision.ops import box_iou
        rois, lab, _ = train_detector.roi_batch(score, delta, [[]], 256, 8, np.random.default_rng(0))
        self.assertTrue((lab == 0).all())
        self.assertTrue((box_iou(rois[:, 1:], ign)[:, 0] >= 0.25).any())   # the proposal, taught background
        rois, lab, _ = train_detector.roi_batch(score, delta, [[]], 256, 8, np.random.default_rng(0),
                                               ignores=[ign.numpy()])
        self.assertTrue((box_iou(rois[:, 1:], ign)[:, 0] < 0.25).all())


class SecondStageRefit(unittest.TestCase):
    def test_roi_labels_follow_the_overlap_rule(self):
        from modelkit.nets import detector_net as dn
        face = [100.0, 100.0, 200.0, 200.0]
        rois = torch.tensor([face,                            # the face itself
                             [100.0, 100.0, 180.0, 200.0],    # overlap 0.8
                             [100.0, 100.0, 150.0, 180.0],    # 0.4: neither
                             [100.0, 100.0, 130.0, 180.0],    # 0.24
                             [400.0, 400.0, 500.0, 500.0]])   # none
        labels, targets = train_detector.roi_labels(rois, [face])
        self.assertEqual(labels.tolist(), [1, 1, -1, 0, 0])
        # The targets take each ROI onto the face box by the library's decoding.
        back = dn.apply_deltas(rois[:2], targets[:2])
        np.testing.assert_allclose(back.numpy(), [face] * 2, atol=1e-4)
        labels, _ = train_detector.roi_labels(rois, np.zeros((0, 4)))
        self.assertEqual(labels.tolist(), [0] * 5)

    def test_mirrored_photo_keeps_its_boxes_on_the_face(self):
        import cv2
        from modelkit.train import second_stage
        with tempfile.TemporaryDirectory() as tmp:
            img = np.full((200, 320, 3), 30, np.uint8)
            img[40:120, 50:110] = 240
            path = os.path.join(tmp, "p.png")
            cv2.imwrite(path, img)
            photo = Photo(path, [[50, 40, 60, 80]])
            plain, boxes = second_stage.working_photo(photo)
            mirrored, mboxes = second_stage.mirrored(plain, boxes)
        np.testing.assert_array_equal(mirrored, plain[:, ::-1])
        np.testing.assert_allclose(mboxes[:, [0, 2]], 320 - boxes[:, [2, 0]])
        np.testing.assert_allclose(mboxes[:, [1, 3]], boxes[:, [1, 3]])
        # A smaller copy keeps its box on the bright block, whatever the jitter did.
        small, sboxes = second_stage.rescaled(plain, boxes, 0.5, np.random.default_rng(1))
        self.assertEqual(small.shape[:2], (100, 160))
        b = sboxes[0]
        grey = small.mean(axis=2)
        self.assertGreater(grey[int((b[1] + b[3]) / 2), int((b[0] + b[2]) / 2)], grey.mean())
        np.testing.assert_allclose(sboxes, boxes * 0.5)

    def test_teacher_boxes_replace_the_mapped_ones_where_known(self):
        import cv2
        from modelkit.data import wider
        from modelkit.train import second_stage
        with tempfile.TemporaryDirectory() as tmp:
            path = os.path.join(tmp, "p.png")
            cv2.imwrite(path, np.zeros((480, 1280, 3), np.uint8))   # halved to the 640-px working size
            photo = Photo(path, [[50, 40, 60, 80], [400, 100, 30, 40]])
            teacher = np.array([[np.nan] * 4, [402.0, 110.0, 432.0, 140.0]])
            _, boxes = second_stage.working_photo(photo, teacher)
            _, mapped = second_stage.working_photo(photo)
            with self.assertRaises(SystemExit):
                second_stage.working_photo(photo, teacher[:1])
        np.testing.assert_allclose(mapped, wider.canonical_from_wider(photo.boxes) * 0.5)
        np.testing.assert_allclose(boxes[0], mapped[0])
        np.testing.assert_allclose(boxes[1], [201.0, 55.0, 216.0, 70.0])

    def test_refit_changes_the_second_stage_alone_and_learns(self):
        from modelkit.nets import detector_net as dn
        from modelkit.train import second_stage
        torch.manual_seed(0)
        det = dn.Detector("s8", "small")
        n, width = 512, det.hidden[0].in_features
        labels = (torch.arange(n) % 4 == 0).long()
        labels[1::8] = -1
        features = torch.randn(n, width) + labels.clamp(min=0)[:, None].float()   # faces are brighter
        with torch.no_grad():   # box outputs near their targets: the shared layers are left to the class
            det.reg.weight.zero_()
            det.reg.bias.zero_()
        before = {k: v.clone() for k, v in det.state_dict().items()}

        def class_loss():
            with torch.no_grad():
                logits, _ = det.classify(features[labels >= 0])
                return float(torch.nn.functional.cross_entropy(logits, labels[labels >= 0]))

        start = class_loss()
        with contextlib.redirect_stdout(io.StringIO()):
            second_stage.refit(det, (features.half(), labels, torch.full((n, 4), 0.05)), epochs=30, lr=3e-3)
        self.assertLess(class_loss(), 0.5 * start)
        after = det.state_dict()
        for k in before:
            second = k.startswith(("hidden.", "cls.", "reg."))
            self.assertEqual(torch.equal(before[k], after[k]), not second, k)

    def test_refit_with_a_neck_trains_the_neck_on_whole_feature_maps(self):
        # Each example is one photo's feature map and its proposals; a face
        # is where the map is bright. The neck learns with the rest of the
        # second stage, and the first stage stays as it was.
        from modelkit.nets import detector_net as dn
        from modelkit.train import second_stage
        torch.manual_seed(1)
        det = dn.with_neck(dn.Detector("s8", "wide"))
        with torch.no_grad():
            det.reg.weight.zero_()
            det.reg.bias.zero_()
        examples, rng = [], np.random.default_rng(2)
        for _ in range(16):
            f = torch.rand(32, 12, 12) * 0.5
            x, y = (int(v) for v in rng.integers(0, 8, 2))
            f[:, y:y + 4, x:x + 4] += 1.0
            face = [8.0 * x, 8.0 * y, 8.0 * x + 31, 8.0 * y + 31]
            rois = torch.tensor([face] + [[8.0 * a, 8.0 * b, 8.0 * a + 31, 8.0 * b + 31]
                                          for a, b in rng.integers(0, 8, (7, 2)) if abs(a - x) + abs(b - y) > 4],
                                dtype=torch.float32)
            labels = torch.zeros(len(rois), dtype=torch.long)
            labels[0] = 1
            examples.append(((f.half(), rois), labels, torch.full((len(rois), 4), 0.05)))
        before = {k: v.clone() for k, v in det.state_dict().items()}

        def class_loss():
            with torch.no_grad():
                out = [(det.head(f[None].float(), dn.with_item(r))[0], lab) for (f, r), lab, _ in examples]
                return float(torch.nn.functional.cross_entropy(torch.cat([o[0] for o in out]),
                                                               torch.cat([o[1] for o in out])))

        start = class_loss()
        with contextlib.redirect_stdout(io.StringIO()):
            second_stage.refit(det, examples, epochs=20, lr=3e-3)
        self.assertLess(class_loss(), 0.5 * start)
        after = det.state_dict()
        for k in before:
            second = k.startswith(("neck.", "hidden.", "cls.", "reg."))
            self.assertEqual(torch.equal(before[k], after[k]), not second, k)

"""Checks of the tool-chain against the library itself (needs the helpers of
modelkit/cpp built; no data sets needed):

  /usr/bin/python3 -m modelkit selftest

- every exportable layer type, in networks with random weights, gives the
  same outputs in PyTorch and in the C++ runtime;
- stdcnn.parse(stdcnn.serialize(m)) gives m back, and the reader refuses
  files the library's loader refuses;
- the pooling size rule matches the runtime's documented examples;
- enlarge_to_square and the crop/target mapping match the library's rules;
- the detector's training labels for faces cut by the scene's border;
- faces shrunk into the detector's scenes stay where their map puts them,
  and are area-averaged when asked;
- the face styles of the detector's scenes keep what makes a face, and
  drawn glasses stay on the eye line;
- the WIDER FACE reader, box mapping, matching rule and real-photo scenes
  (selftest_wider.py).
"""
import contextlib
import io
import math
import os
import struct
import tempfile
import unittest
import zlib

import numpy as np
import torch
from torch import nn

from modelkit.data import crops
from modelkit.data.face_box import canonical_face_box, enlarge_to_square
from modelkit.export import parity
from modelkit.export import torch_to_stdcnn as export
from modelkit.formats import stdcnn
# Run with the checks here: unittest finds test cases by the names of this module.
from modelkit.selftest_wider import (SecondStageRefit, WiderBoxMapping, WiderLabelFile,  # noqa: F401
                                     WiderMatchingRule, WiderScenes)


def randomise(module, seed):
    g = torch.Generator().manual_seed(seed)
    with torch.no_grad():
        for p in module.parameters():
            p.copy_(torch.randn(p.shape, generator=g) * 0.3)
        for m in module.modules():
            if isinstance(m, nn.PReLU):
                m.weight.copy_(torch.rand(m.weight.shape, generator=g) * 0.5)
    return module.eval()


class ExportParity(unittest.TestCase):
    """Torch and the runtime agree within 1e-4 of the output range."""

    def agree(self, module, shape, seed=0, scale=1.0):
        module = randomise(module, seed)
        x = torch.randn((3,) + shape, generator=torch.Generator().manual_seed(seed + 1)).numpy() * scale
        with tempfile.TemporaryDirectory() as tmp:
            path = os.path.join(tmp, "m.stdcnn")
            export.export_to_file(module, shape, path)
            diff, tol, ok = parity.check(module, path, x)
        self.assertTrue(ok, "max difference %.3g above %.3g" % (diff, tol))

    def test_conv_padding_stride_and_prelu_per_channel(self):
        self.agree(nn.Sequential(nn.Conv2d(2, 4, 3, stride=2, padding=1), nn.PReLU(4),
                                 nn.Conv2d(4, 3, 2), nn.PReLU()), (2, 11, 9))

    def test_cross_convolution_uses_only_the_middle_row_and_column(self):
        net = nn.Sequential(export.CrossConv2d(3, 5, 5, padding=2), nn.ReLU(),
                            export.CrossConv2d(5, 2, 4))  # even kernel: centre (4-1)/2 = 1
        self.agree(net, (3, 10, 10))
        # The masked-out taps are exported as zeros and take no part.
        w = net[0].effective_weight()
        self.assertEqual(float(w[..., 0, 0].abs().sum()), 0.0)

    def test_pooling_in_ceil_mode_max_and_average_with_padding(self):
        for method in ("max", "ave"):
            for size, k, s, p in [(5, 2, 2, 0), (4, 3, 2, 0), (4, 3, 2, 1), (3, 2, 2, 1), (11, 3, 2, 1)]:
                with self.subTest(method=method, size=size, k=k, s=s, p=p):
                    self.agree(nn.Sequential(nn.Conv2d(1, 2, 1), export.RuntimePool(k, s, method, p)),
                               (1, size, size + 1))

    def test_fully_connected_flattens_in_torch_order(self):
        self.agree(nn.Sequential(nn.Conv2d(2, 3, 3), nn.Flatten(), nn.Linear(3 * 5 * 4, 7),
                                 nn.PReLU(7), nn.Dropout(0.5), nn.Linear(7, 4), nn.Softmax(dim=1)),
                   (2, 7, 6))

    def test_shape_layers_reshape_concat_flatten(self):
        branch_a = nn.Sequential(nn.Conv2d(2, 3, 3, padding=1), nn.ReLU())
        branch_b = nn.Sequential(nn.Conv2d(2, 1, 1))
        net = nn.Sequential(export.Concat(branch_a, branch_b), export.Reshape(2, -1, 0), nn.Flatten(),
                            export.Reshape(12, 2, -1), nn.Conv2d(12, 2, 1))
        self.agree(net, (2, 4, 3))

    def test_pixel_scale_is_folded_into_the_first_convolution(self):
        net = nn.Sequential(export.PixelScale(1 / 255.0, -0.5), nn.Conv2d(1, 4, 5), nn.PReLU(4),
                            export.RuntimePool(2), nn.Flatten(), nn.Linear(4 * 8 * 8, 10))
        x = np.floor(np.random.default_rng(3).random((2, 1, 20, 20)) * 256).astype(np.float32)
        net = randomise(net, 5)
        with tempfile.TemporaryDirectory() as tmp:
            path = os.path.join(tmp, "m.stdcnn")
            model = export.export_to_file(net, (1, 20, 20), path)
            self.assertEqual([l.type for l in model.layers], ["conv", "prelu", "pool", "fullconnect"])
            diff, tol, ok = parity.check(net, path, x)
        self.assertTrue(ok, "max difference %.3g above %.3g" % (diff, tol))

    def test_refuses_what_the_runtime_cannot_do(self):
        for bad in (nn.Sequential(nn.Conv2d(1, 2, (3, 1))), nn.Sequential(nn.MaxPool2d(2)),
                    nn.Sequential(export.PixelScale(1, 0), nn.Conv2d(1, 2, 3, padding=1)),
                    nn.Sequential(nn.Softmax(dim=2))):
            with self.subTest(bad=bad), self.assertRaises(ValueError):
                export.export_model(bad, (1, 8, 8))


class WeightsBack(unittest.TestCase):
    """Exported files read back into torch modules compute what the originals
    did (the way shipped networks are fine-tuned)."""

    def test_single_input_network_with_folded_pixel_scale(self):
        net = randomise(nn.Sequential(export.PixelScale(1 / 255.0, -0.5), nn.Conv2d(1, 4, 5), nn.PReLU(4),
                                      export.CrossConv2d(4, 3, 3, padding=1), nn.ReLU(), nn.Flatten(),
                                      nn.Linear(3 * 8 * 8, 6), nn.PReLU()), 7)
        back = nn.Sequential(export.PixelScale(1 / 255.0, -0.5), nn.Conv2d(1, 4, 5), nn.PReLU(4),
                             export.CrossConv2d(4, 3, 3, padding=1), nn.ReLU(), nn.Flatten(),
                             nn.Linear(3 * 8 * 8, 6), nn.PReLU())
        x = torch.floor(torch.rand((2, 1, 12, 12), generator=torch.Generator().manual_seed(2)) * 256)
        with tempfile.TemporaryDirectory() as tmp:
            path = os.path.join(tmp, "m.stdcnn")
            export.export_to_file(net, (1, 12, 12), path)
            export.load_exported_weights(back, path)
        with torch.no_grad():
            self.assertLess(float((net(x) - back.eval()(x)).abs().max()), 1e-3)

    def test_wrong_architecture_is_refused(self):
        with tempfile.TemporaryDirectory() as tmp:
            path = os.path.join(tmp, "m.stdcnn")
            export.export_to_file(randomise(nn.Sequential(nn.Conv2d(1, 2, 3)), 1), (1, 6, 6), path)
            with self.assertRaises(ValueError):
                export.load_exported_weights(nn.Sequential(nn.Conv2d(1, 2, 3), nn.Linear(32, 2)), path)

    def test_five_point_network_grown_wide_starts_as_it_was_and_reads_back_at_its_width(self):
        from modelkit.nets import five_point_net as fp
        narrow = randomise(fp.five_point_net(), 11)
        wide = fp.widened(narrow).eval()
        self.assertEqual(fp.widths_of(wide), fp.WIDTHS["wide"])
        x = torch.floor(torch.rand((3, 1, 60, 60), generator=torch.Generator().manual_seed(5)) * 256)
        with torch.no_grad():
            self.assertLess(float((wide(x) - narrow(x)).abs().max() / narrow(x).abs().max()), 1e-6)
            # The new units are live: they change the outputs once the
            # zero weights that read them are no longer zero.
            moved = fp.widened(narrow).eval()
            moved[-1].weight.add_(0.1)
            self.assertGreater(float((moved(x) - narrow(x)).abs().max()), 1e-2)
        with self.assertRaises(ValueError):
            fp.widened(wide, fp.WIDTHS["standard"])
        with tempfile.TemporaryDirectory() as tmp:
            path = os.path.join(tmp, "five.dat")
            export.export_to_file(wide, (1, 60, 60), path)
            self.assertEqual(fp.widths_of_file(path), fp.WIDTHS["wide"])
            back = fp.load_network(path)
            other = os.path.join(tmp, "other.dat")
            export.export_to_file(randomise(nn.Sequential(nn.Conv2d(1, 2, 3)), 1), (1, 6, 6), other)
            with self.assertRaises(ValueError):
                fp.widths_of_file(other)
        with torch.no_grad():
            # Random weights give outputs in the thousands: float rounding of
            # the folded pixel scale, relative to them.
            y = wide(x)
            self.assertLess(float((back(x) - y).abs().max() / y.abs().max()), 1e-6)

    def check_detector_round_trip(self, det, weighted_layers):
        from modelkit.nets import detector_net as dn
        x = torch.randn((1, 3, 64, 64), generator=torch.Generator().manual_seed(4)) * 60
        with tempfile.TemporaryDirectory() as tmp:
            path = os.path.join(tmp, "d.dat")
            stdcnn.write(dn.export_model(det, 64, 64), path)
            self.assertEqual(sum(1 for l in stdcnn.read(path, two_inputs=True).layers if l.weights), weighted_layers)
            back = dn.load_exported(path)
        self.assertEqual((back.layout, back.head_name), (det.layout, det.head_name))
        with torch.no_grad():
            self.assertLess(float((det.backbone(x) - back.backbone(x)).abs().max()), 1e-3)
            f = det.backbone(x)
            self.assertLess(float((det.rpn_score(f) - back.rpn_score(f)).abs().max()), 1e-4)
            self.assertLess(float((det.rpn_delta(f) - back.rpn_delta(f)).abs().max()), 1e-4)
            rois = torch.tensor([[0.0, 4, 4, 40, 40], [0.0, 10, 2, 63, 50]])
            for a, b in zip(det.head(f, rois), back.head(f, rois)):
                self.assertLess(float((a - b).abs().max()), 1e-4)

    def test_detector_leaves_an_identity_stride_8_layer_out(self):
        from modelkit.nets import detector_net as dn
        det = randomise(dn.Detector(), 11)
        dn.identity_cross(det.backbone.c2b)
        self.check_detector_round_trip(det, 11)   # 6 convolutions + 5 head layers

    def test_detector_with_a_trained_stride_8_layer(self):
        from modelkit.nets import detector_net as dn
        self.check_detector_round_trip(randomise(dn.Detector(), 12), 12)

    def test_stride_8_layout_round_trip(self):
        from modelkit.nets import detector_net as dn
        det = randomise(dn.Detector("s8"), 13)
        self.assertEqual(dn.feature_size(64, det.backbone), 8)
        self.check_detector_round_trip(det, 13)

    def test_fine_stem_layout_round_trip(self):
        # One more convolution than s8 at the same stride: the file is read
        # back as s8f, not as an s8 detector with a layer to spare.
        from modelkit.nets import detector_net as dn
        det = randomise(dn.Detector("s8f"), 16)
        self.assertEqual(dn.feature_size(64, det.backbone), 8)
        self.check_detector_round_trip(det, 14)

    def test_stride_4_layouts_are_told_apart_by_their_widths(self):
        # s4 and s4n have the same layers at the same stride: only the
        # weight shapes say which one a file holds.
        from modelkit.nets import detector_net as dn
        for layout, seed in (("s4", 18), ("s4n", 19)):
            det = randomise(dn.Detector(layout, "wide"), seed)
            self.assertEqual(dn.feature_size(64, det.backbone), 16)
            self.check_detector_round_trip(det, 14)   # 8 convolutions + 6 head layers

    def test_wide_second_stage_round_trip(self):
        from modelkit.nets import detector_net as dn
        self.check_detector_round_trip(randomise(dn.Detector("s8", "wide"), 14), 14)

    def test_second_stage_with_a_neck_round_trip(self):
        # The neck is a convolution after the proposal layer: read back as
        # the "neck" second stage, not as a backbone with a layer to spare.
        from modelkit.nets import detector_net as dn
        self.check_detector_round_trip(randomise(dn.Detector("s8w", "neck"), 22), 17)   # 10 + 7

    def test_grown_neck_starts_with_the_outputs_it_grew_from(self):
        from modelkit.nets import detector_net as dn
        det = randomise(dn.Detector("s8", "wide"), 23).eval()
        x = torch.randn((1, 3, 64, 64), generator=torch.Generator().manual_seed(7)) * 60
        rois = torch.tensor([[0.0, 4, 4, 40, 40], [0.0, 10, 2, 63, 50]])
        necked = dn.with_neck(det)
        self.assertEqual((necked.head_name, necked.neck.out_channels), ("neck", 64))
        with torch.no_grad():
            f = det.backbone(x)
            self.assertTrue(torch.equal(f, necked.backbone(x)))
            for a, b in zip(det.head(f, rois), necked.head(f, rois)):
                self.assertLess(float((a - b).abs().max()), 1e-5)
            self.assertGreater(float(necked.pooled_map(f)[:, 32:].abs().sum()), 0.0, "the new channels never fire")
        with self.assertRaisesRegex(ValueError, "cannot grow"):
            dn.with_neck(necked)
        with self.assertRaisesRegex(ValueError, "cannot grow"):
            dn.with_neck(randomise(dn.Detector("s8", "small"), 24))

    def test_new_second_stage_keeps_the_proposals(self):
        from modelkit.nets import detector_net as dn
        det = randomise(dn.Detector("s8"), 15)
        wide = dn.with_head(det, "wide")
        x = torch.randn((1, 3, 64, 64), generator=torch.Generator().manual_seed(5)) * 60
        with torch.no_grad():
            for a, b in zip(det.rpn(x), wide.rpn(x)):
                self.assertTrue(torch.equal(a, b))
        self.assertEqual(wide.pooled, 6)

    def test_grown_layouts_start_with_the_outputs_they_grew_from(self):
        # deepened (s8 -> s8d) and widened (s8d -> s8w) add layers or
        # channels that have no say yet: the proposals and the second
        # stage's outputs stay the same to the float.
        from modelkit.nets import detector_net as dn
        x = torch.randn((1, 3, 64, 64), generator=torch.Generator().manual_seed(6)) * 60
        rois = torch.tensor([[0.0, 4, 4, 40, 40], [0.0, 10, 2, 63, 50]])
        s8 = randomise(dn.Detector("s8", "wide"), 17)
        s8d = dn.deepened(s8).eval()
        s8w = dn.widened(s8d).eval()
        self.assertEqual((s8d.layout, s8w.layout, s8w.backbone.channels), ("s8d", "s8w", 40))
        with torch.no_grad():
            f = s8.backbone(x)
            for grown in (s8d, s8w):
                g = grown.backbone(x)
                self.assertTrue(torch.equal(g[:, :f.shape[1]], f))
                for a, b in zip(s8.rpn(x)[1:], grown.rpn(x)[1:]):
                    self.assertLess(float((a - b).abs().max()), 1e-5)
                for a, b in zip(s8.head(f, rois), grown.head(g, rois)):
                    self.assertLess(float((a - b).abs().max()), 1e-5)
            self.assertGreater(float(s8w.backbone(x)[:, 32:].abs().sum()), 0.0, "the new channels never fire")
        with self.assertRaisesRegex(ValueError, "only an s8d"):
            dn.widened(s8)
        with self.assertRaisesRegex(ValueError, "only an s8"):
            dn.deepened(s8d)

    def test_wider_layout_round_trip(self):
        # s8w has s8d's layers with other widths: read back as s8w.
        from modelkit.nets import detector_net as dn
        self.check_detector_round_trip(randomise(dn.Detector("s8w", "wide"), 21), 16)   # 10 convolutions + 6


class AveragedCheckpoints(unittest.TestCase):
    """Detector weights averaged across checkpoints and exported files."""

    def test_mean_of_a_checkpoint_and_an_exported_file(self):
        from modelkit.train import average_checkpoints as ac
        from modelkit.nets import detector_net as dn
        a, b = randomise(dn.Detector("s8", "wide"), 30), randomise(dn.Detector("s8", "wide"), 31)
        with tempfile.TemporaryDirectory() as tmp:
            pa, pb = os.path.join(tmp, "a.pt"), os.path.join(tmp, "b.dat")
            torch.save(dn.checkpoint_of(a), pa)
            stdcnn.write(dn.export_model(b, 64, 64), pb)
            b = dn.load_exported(pb)   # what the file keeps
            mean = dn.from_checkpoint(ac.mean_checkpoint([pa, pb]))
        for (name, m), pa_, pb_ in zip(mean.state_dict().items(), a.state_dict().values(), b.state_dict().values()):
            self.assertLess(float((m - (pa_ + pb_) / 2).abs().max()), 1e-6, name)

    def test_other_networks_and_unreadable_files_are_refused(self):
        from modelkit.train import average_checkpoints as ac
        from modelkit.nets import detector_net as dn
        with tempfile.TemporaryDirectory() as tmp:
            small, wide, junk = (os.path.join(tmp, n) for n in ("s.pt", "w.pt", "junk.pt"))
            torch.save(dn.checkpoint_of(dn.Detector("s8")), small)
            torch.save(dn.checkpoint_of(dn.Detector("s8", "wide")), wide)
            with open(junk, "wb") as f:
                f.write(b"not a checkpoint")
            with self.assertRaisesRegex(ValueError, "second stage"):
                ac.mean_checkpoint([small, wide])
            with self.assertRaisesRegex(ValueError, "not a detector"):
                ac.mean_checkpoint([small, junk])


class AveragedNetworks(unittest.TestCase):
    """Several 95-point networks joined into one file give the mean of their
    outputs, in torch and in the runtime, and read back from the file."""

    WIDTHS = [(4, 6, 8, 8, 16), (3, 5, 7, 6, 12)]  # small, and unequal on purpose

    def test_outputs_are_the_members_mean_here_in_the_file_and_read_back(self):
        from modelkit.nets import ninety_five_net as nf
        members = [randomise(nf.NinetyFiveNet(w), 20 + i) for i, w in enumerate(self.WIDTHS)]
        merged = nf.average_networks(members)
        x = torch.floor(torch.rand((3, 1, 60, 60), generator=torch.Generator().manual_seed(5)) * 256)
        with torch.no_grad():
            outs = [m(x) for m in members]
            points, logits = merged(x)
            self.assertLess(float((points - (outs[0][0] + outs[1][0]) / 2).abs().max()), 1e-4)
            self.assertLess(float((logits - (outs[0][1] + outs[1][1]) / 2).abs().max()), 1e-4)
        with tempfile.TemporaryDirectory() as tmp:
            path = os.path.join(tmp, "m95.dat")
            model = nf.export_to_file(merged, path)
            self.assertEqual(sum(1 for l in model.layers if l.type == "concat"), 1)
            diff, tol, ok = parity.check(nf.Joined(merged), path, x.numpy())
            self.assertTrue(ok, "max difference %.3g above %.3g" % (diff, tol))
            back = export.load_exported_weights(nf.Averaged(self.WIDTHS), path).eval()
        with torch.no_grad():
            self.assertLess(float((back(x)[0] - points).abs().max()), 1e-3)

    def test_a_joined_file_reads_back_as_its_members(self):
        # How a fine-tune of the shipped file (three standard networks
        # joined) starts: load_checkpoint_model counts the members.
        from modelkit.nets import ninety_five_net as nf
        standard = nf.WIDTHS["standard"]
        for count in (1, 3):
            members = [randomise(nf.NinetyFiveNet(standard), 40 + i) for i in range(count)]
            net = members[0] if count == 1 else nf.average_networks(members)
            x = torch.floor(torch.rand((2, 1, 60, 60), generator=torch.Generator().manual_seed(7)) * 256)
            with tempfile.TemporaryDirectory() as tmp:
                path = os.path.join(tmp, "m95.dat")
                nf.export_to_file(net, path)
                back = nf.load_checkpoint_model(path)
            self.assertIsInstance(back, nf.NinetyFiveNet if count == 1 else nf.Averaged)
            with torch.no_grad():
                for a, b in zip(net(x), back(x)):   # the file holds float32 weights
                    self.assertLess(float((a - b).abs().max()), 1e-5 * float(a.abs().max()))


class Format(unittest.TestCase):
    def model(self):
        return stdcnn.Model(1, 6, 6, [
            stdcnn.Layer([("type", "conv"), ("ksize", "3"), ("map_num", "2")], [0],
                         [np.arange(18, dtype=np.float32), np.array([1, 2], np.float32)]),
            stdcnn.Layer([("type", "pool"), ("ksize", "2"), ("ksize_w", "0"), ("ksize_h", "0")], [1]),
            stdcnn.Layer([("type", "fullconnect"), ("node_num", "3")], [2],
                         [np.ones(3 * 8, np.float32), np.zeros(3, np.float32)])], [3])

    def test_round_trip(self):
        m = self.model()
        back = stdcnn.parse(stdcnn.serialize(m))
        self.assertEqual((back.channels, back.height, back.width, back.outputs), (1, 6, 6, [3]))
        for a, b in zip(m.layers, back.layers):
            self.assertEqual(dict(a.params), dict(b.params))
            self.assertEqual(a.bottoms, b.bottoms)
            for wa, wb in zip(a.weights, b.weights):
                np.testing.assert_array_equal(wa, wb)

    def test_header_bytes(self):
        raw = stdcnn.serialize(self.model())
        self.assertEqual(raw[:10], struct.pack("<i", 6) + b"stdcnn")
        self.assertEqual(struct.unpack("<4i", raw[10:26]), (1, 6, 6, 3))
        self.assertEqual(raw[-4:], struct.pack("<i", 0))

    def test_refused_like_the_loader(self):
        raw = stdcnn.serialize(self.model())
        with self.assertRaises(ValueError):
            stdcnn.parse(struct.pack("<i", 6) + b"stdcnX" + raw[10:])
        with self.assertRaises(ValueError):
            stdcnn.parse(raw[:-20])  # weights cut short
        m = self.model()
        m.layers[2].weights[0] = np.ones(5, np.float32)
        with self.assertRaises(ValueError):
            stdcnn.serialize(m)

    def test_parameter_text_rules(self):
        self.assertEqual(stdcnn.parse_params("type:conv,ksize:3,ksize:5,"), {"type": "conv", "ksize": "3"})
        self.assertEqual(stdcnn.parse_params("type:conv,ksize:3"), {"type": "conv"})
        self.assertEqual(stdcnn.parse_params(":x,type:conv,"), {})
        self.assertEqual(stdcnn.parse_params("ksize:3,"), {})

    def test_pool_size_examples(self):
        self.assertEqual(stdcnn.pool_output_size(5, 2, 2, 0), 3)
        self.assertEqual(stdcnn.pool_output_size(4, 3, 2, 0), 2)
        self.assertEqual(stdcnn.pool_output_size(4, 3, 2, 1), 3)
        self.assertEqual(stdcnn.pool_output_size(4, 2, 2, 1), 3)
        self.assertEqual(stdcnn.pool_output_size(3, 2, 2, 1), 2)


class Boxes(unittest.TestCase):
    def test_enlarge_to_square_example(self):
        self.assertEqual(enlarge_to_square((10, 20, 100, 80)), (0, 0, 120, 120))
        self.assertEqual(enlarge_to_square((0, 0, 7, 7)), (-1, -1, 8, 8))

    def test_targets_invert_the_library_mapping(self):
        box = (-5, 12, 75, 75)
        pts = np.array([[10.0, 30.0], [40.0, 31.0], [25.0, 45.0], [12.0, 60.0], [38.0, 61.0]])
        units = crops.points_to_units(pts, box)
        np.testing.assert_allclose(crops.units_to_points(units, box), pts, atol=1e-9)
        np.testing.assert_allclose(crops.units_to_points([[-1, -1], [1, 1]], box), [[-5, 12], [70, 87]])

    def test_canonical_box_is_pose_independent_of_the_nose(self):
        pts = np.array([[40.0, 50.0], [80.0, 50.0], [60.0, 70.0], [45.0, 90.0], [75.0, 90.0]])
        moved = pts.copy()
        moved[2] = (75.0, 72.0)
        self.assertEqual(canonical_face_box(pts), canonical_face_box(moved))
        x, y, w, h = canonical_face_box(pts)  # iod 40, eye-mouth 40: side 88, centre (60, 74)
        self.assertEqual((x, y, w, h), (16, 30, 88, 88))

    def test_padding_outside_the_frame_is_one(self):
        grey = np.full((10, 10), 200, np.uint8)
        cut = crops.crop_with_padding(grey, (-2, -1, 5, 5))
        self.assertEqual(cut.shape, (5, 5))
        self.assertTrue((cut[0] == 1).all() and (cut[:, :2] == 1).all())
        self.assertTrue((cut[1:, 2:] == 200).all())


class DetectorBoxCrops(unittest.TestCase):
    """The detector's box of a landmark training face, kept relative to the
    face through mirror images and rotations."""

    PTS = np.array([[140.0, 150.0], [180.0, 150.0], [160.0, 170.0], [145.0, 190.0], [175.0, 190.0]])

    @staticmethod
    def offset(pts, box):
        """The box's centre minus the enlarged canonical square's, in its sides."""
        x, y, w, _ = enlarge_to_square(canonical_face_box(pts))
        return np.array([box[0] + box[2] / 2.0 - x - w / 2.0, box[1] + box[3] / 2.0 - y - w / 2.0]) / w

    def test_a_zero_relation_is_the_enlarged_canonical_box(self):
        self.assertEqual(crops.detector_square(self.PTS, (0.0, 0.0, 1.0)),
                         enlarge_to_square(canonical_face_box(self.PTS)))
        x, y, w, h = crops.detector_square(self.PTS, (0.25, -0.1, 0.8))
        np.testing.assert_allclose(self.offset(self.PTS, (x, y, w, h)), [0.25, -0.1], atol=0.02)
        self.assertAlmostEqual(w / enlarge_to_square(canonical_face_box(self.PTS))[2], 0.8, delta=0.01)

    def test_the_box_before_enlargement_gives_the_detector_square_back(self):
        from modelkit.data import detected_boxes
        for relation in [(0.0, 0.0, 1.0), (0.2, -0.1, 0.9), (-0.15, 0.05, 1.2)]:
            square = crops.detector_square(self.PTS, relation)
            again = enlarge_to_square(detected_boxes.box_before_enlargement(self.PTS, relation))
            self.assertLessEqual(np.abs(np.subtract(square, again)).max(), 2, relation)

    def check_offset_turns(self, draw, atol):
        """draw() -> (five points, box) of the face (eyes left of the
        frame's middle at x 210, offset (0.2, 0) given) after a random mirror
        image and rotation: the offset must turn with the eye line."""
        eye_line = self.PTS[1] - self.PTS[0]
        seen_mirror = seen_plain = 0
        for _ in range(40):
            pts, box = draw()
            # The first eye is the image-left one in both cases; a mirror
            # image moves the eyes to the other side of the frame's middle.
            mirrored = pts[:, 0].mean() > 210
            seen_mirror += mirrored
            seen_plain += not mirrored
            line = pts[1] - pts[0]
            angle = math.atan2(line[1], line[0]) - math.atan2(eye_line[1], eye_line[0])
            # The eye line turns by the rotation, the offset with it; a
            # mirror image also turns the offset from image-right to -left.
            want = 0.2 * np.array([math.cos(angle), math.sin(angle)]) * (-1.0 if mirrored else 1.0)
            np.testing.assert_allclose(self.offset(pts, box), want, atol=atol)
        self.assertGreater(seen_mirror, 5)
        self.assertGreater(seen_plain, 5)

    def test_the_offset_follows_the_face_through_mirror_and_rotation(self):
        grey = np.zeros((320, 420), np.uint8)
        aug = crops.Augmenter(np.random.default_rng(5), max_rotation=15.0, detector_share=1.0,
                              detector_shift=0.0, detector_scale=0.0)
        self.check_offset_turns(
            lambda: aug.geometry(grey, self.PTS, allow_mirror=True, relation=(0.2, 0.0, 1.0))[1:], 0.02)

    def test_the_95_point_crops_turn_the_offset_with_the_face_too(self):
        from modelkit.data import samples95
        from modelkit.data.face_box import five_from_68
        rng = np.random.default_rng(7)
        p68 = rng.uniform(100, 220, (68, 2))
        p68[36:42] = self.PTS[0] + rng.normal(0, 3, (6, 2))
        p68[42:48] = self.PTS[1] + rng.normal(0, 3, (6, 2))
        p68[48:68] = (self.PTS[3] + self.PTS[4]) / 2 + rng.normal(0, 6, (20, 2))
        face = samples95.Face68(np.zeros((320, 420), np.uint8), p68, "t", "g", "n", (0, 0))

        def draw():
            _, pts, box = samples95.face_geometry(face, rng, True, (0.2, 0.0, 1.0))
            return five_from_68(pts), box
        # The detector's own wobble (+-2 % of the side) on top.
        self.check_offset_turns(draw, 0.03)
        # Without augmentation the relation gives the detector's square as it is.
        self.assertEqual(samples95.face_geometry(face, rng, False, (0.2, 0.0, 1.0))[2],
                         crops.detector_square(p68, (0.2, 0.0, 1.0)))

    def test_without_a_relation_or_at_share_zero_the_canonical_jitter_stays(self):
        grey = np.zeros((320, 320), np.uint8)
        a = crops.Augmenter(np.random.default_rng(6))
        b = crops.Augmenter(np.random.default_rng(6), detector_share=0.0)
        for _ in range(5):
            self.assertEqual(a.geometry(grey, self.PTS, True)[2],
                             b.geometry(grey, self.PTS, True, relation=(0.3, 0.3, 1.3))[2])

    def test_the_cache_runs_the_detector_only_on_faces_it_has_not_seen(self):
        from unittest import mock
        from modelkit.data import datasets, detected_boxes

        pts = self.PTS

        class Face:
            def __init__(self, name):
                self.source, self.name, self.offset, self.points = "s", name, (0, 0), pts

        canonical = enlarge_to_square(canonical_face_box(pts))
        asked = []

        def detect(paths, detector):
            asked.append(list(paths))
            # The detector finds "a" and "b" on their canonical squares, "c" not at all.
            return {p: [canonical] for p in paths if not p.endswith("c")}

        with tempfile.TemporaryDirectory() as tmp, \
                mock.patch.object(detected_boxes, "_detect", detect), \
                mock.patch.object(detected_boxes, "_cache_path", lambda s, d: os.path.join(tmp, s + ".npz")), \
                mock.patch.object(datasets, "photo_path", lambda f: "photo-" + f.name):
            first = detected_boxes.relations([Face("a")])
            both = detected_boxes.relations([Face("a"), Face("b"), Face("c")])
            again = detected_boxes.relations([Face("b"), Face("c")])
        self.assertEqual(asked, [["photo-a"], ["photo-b", "photo-c"]])   # none asked twice, a miss neither
        np.testing.assert_allclose(first[("s", "a")], (0.0, 0.0, 1.0))
        self.assertEqual(sorted(both), [("s", "a"), ("s", "b")])
        self.assertEqual(sorted(again), [("s", "b")])

    def test_the_nearest_plausible_detection_belongs_to_the_face(self):
        from modelkit.data import detected_boxes
        canonical = (100, 100, 100, 100)
        near, far, huge = (105, 98, 100, 100), (400, 100, 100, 100), (60, 60, 180, 180)
        r = detected_boxes.best_relation([far, near, huge], canonical)
        np.testing.assert_allclose(r, (0.05, -0.02, 1.0))
        self.assertIsNone(detected_boxes.best_relation([far, huge], canonical))
        self.assertIsNone(detected_boxes.best_relation([], canonical))


class DetectorLabels(unittest.TestCase):
    def test_close_up_label_is_the_part_of_the_face_box_inside_the_scene(self):
        from modelkit.data import detector_scenes as ds
        rng = np.random.default_rng(0)
        # iod 40 and eye-to-mouth 40: canonical side 88, so scale 1.5 of a
        # 256 scene makes a 384 px box around (128, 140) with the eyes and
        # mouth well inside, whatever the small random rotation.
        pts = np.array([[40.0, 50.0], [80.0, 50.0], [60.0, 70.0], [45.0, 90.0], [75.0, 90.0]])
        photo = ds.FacePhoto(rng.integers(0, 255, (140, 120, 3)).astype(np.uint8), pts)
        maker = ds.SceneMaker({"frames68": [photo]}, [rng.integers(0, 255, (100, 100)).astype(np.uint8)], 256)
        for seed in range(5):
            maker.rng = np.random.default_rng(seed)
            canvas, boxes = maker._background(), []
            maker._close_up(canvas, boxes, scale=1.5, centre=(128.0, 140.0))
            self.assertEqual(len(boxes), 1)
            np.testing.assert_allclose(boxes[0], [0, 0, 256, 256])
        # Asked for the whole box, the label reaches past the scene, centred
        # where the face was put.
        whole = ds.SceneMaker({"frames68": [photo]}, maker.negatives, 256, whole_close_ups=True)
        canvas, boxes = whole._background(), []
        whole._close_up(canvas, boxes, scale=1.5, centre=(128.0, 140.0))
        np.testing.assert_allclose(boxes[0], [128 - 192, 140 - 192, 128 + 192, 140 + 192], atol=1e-6)

    def test_proposal_targets_of_a_box_cut_by_the_border(self):
        from modelkit.train import detector as train_detector
        labels, reg = train_detector.rpn_targets(np.array([[0.0, 64.0, 256.0, 192.0]]), 32, 32, 8)
        pos = labels == 1
        self.assertTrue(pos.any())
        # Anchor 3 is 128 x 128: the box is twice as wide and as high.
        np.testing.assert_allclose(reg[2][pos], np.log(2.0), atol=1e-6)
        np.testing.assert_allclose(reg[3][pos], 0.0, atol=1e-6)
        # Cells within 0.2 of the box's own width / height of its centre.
        ys, xs = np.nonzero(pos)
        self.assertLessEqual(np.abs(xs * 8 + 8 - 128).max(), 0.2 * 256 + 8)
        self.assertLessEqual(np.abs(ys * 8 + 8 - 128).max(), 0.2 * 128 + 8)

    def test_proposals_of_a_wide_photo_are_clipped_to_its_own_sides(self):
        from modelkit.train import detector as train_detector
        # 4 x 12 cells of a 32 x 96 photo: boxes twice the anchor (256 px)
        # reach past both sides, and must stop at x 96 and y 32, not at a
        # square's side.
        score = torch.zeros(4, 12)
        delta = torch.zeros(4, 4, 12)
        delta[2:] = float(np.log(2.0))
        boxes = train_detector.proposals(score, delta, (32, 96), 8, keep=100)
        self.assertGreater(len(boxes), 0)
        self.assertEqual(float(boxes[:, [0, 1]].min()), 1.0)
        self.assertEqual(float(boxes[:, 2].max()), 96.0)
        self.assertEqual(float(boxes[:, 3].max()), 32.0)


class SceneWarp(unittest.TestCase):
    """Faces shrunk into the detector's scenes, with and without area
    averaging first."""

    @staticmethod
    def similarity(scale, angle, shift):
        a, b = scale * math.cos(angle), scale * math.sin(angle)
        return np.array([[a, -b, shift[0]], [b, a, shift[1]]])

    def test_a_shrunk_spot_lands_where_the_map_sends_its_centre(self):
        from modelkit.data import detector_scenes as ds
        yy, xx = np.mgrid[:300, :260]
        spot = np.exp(-((xx - 101.3) ** 2 + (yy - 170.7) ** 2) / 800.0).astype(np.float32)
        gy, gx = np.mgrid[:64, :64]
        for scale, angle in ((0.1, 0.3), (0.23, -0.2), (0.4, 0.05)):
            want = (30.4, 33.7)
            m = self.similarity(scale, angle, (0.0, 0.0))
            m[:, 2] = want - m[:, :2] @ [101.3, 170.7]
            for anti_alias in (False, True):
                w = ds._warp(spot, m, 64, anti_alias)
                got = [(w * gx).sum() / w.sum(), (w * gy).sum() / w.sum()]
                np.testing.assert_allclose(got, want, atol=0.02, err_msg="scale %g, %s" % (scale, anti_alias))

    def test_fine_stripes_average_to_grey_only_when_anti_aliased(self):
        from modelkit.data import detector_scenes as ds
        stripes = np.tile(np.array([[0, 255]], np.uint8), (240, 120))  # one-pixel columns
        for shrink in (8.0, 7.3):
            m = self.similarity(1.0 / shrink, 0.0, (0.0, 0.0))
            # away from the border, where the warp blends in black
            plain = ds._warp(stripes, m, 24, False)[2:-2, 2:-2].astype(np.float64)
            smooth = ds._warp(stripes, m, 24, True)[2:-2, 2:-2].astype(np.float64)
            # bilinear sampling picks whole columns: all black, or bands
            self.assertGreater(abs(plain.mean() - 127.5) + plain.std(), 60.0)
            self.assertLess(abs(smooth.mean() - 127.5), 1.0)
            # 7.3 columns per pixel hold 3.3-4 white ones: a ripple remains
            self.assertLess(smooth.std(), 6.0)

    def test_enlarging_warps_as_before_and_labels_do_not_change(self):
        from modelkit.data import detector_scenes as ds
        rng = np.random.default_rng(3)
        img = rng.integers(0, 255, (50, 40, 3)).astype(np.uint8)
        m = self.similarity(2.5, 0.2, (10.0, -5.0))
        np.testing.assert_array_equal(ds._warp(img, m, 96, True), ds._warp(img, m, 96, False))
        pts = np.array([[12.0, 15.0], [28.0, 15.0], [20.0, 24.0], [14.0, 33.0], [26.0, 33.0]])
        photo = ds.FacePhoto(img, pts)
        bg = [rng.integers(0, 255, (100, 100)).astype(np.uint8)]
        made = [ds.SceneMaker({"frames68": [photo]}, bg, 128, seed=5, anti_alias=a).scene() for a in (False, True)]
        self.assertGreater(len(made[0][1]), 0)
        np.testing.assert_array_equal(made[0][1], made[1][1])
        self.assertFalse(np.array_equal(made[0][0], made[1][0]))


class FaceStyles(unittest.TestCase):
    def test_every_style_keeps_the_patch_shape_from_tiny_to_large_faces(self):
        from modelkit.data import face_styles as fs
        rng = np.random.default_rng(1)
        for side in (10.0, 23.0, 160.0):
            n = int(round(2 * side))
            patch = rng.uniform(-30, 290, (n, n, 3)).astype(np.float32)
            for style in fs.STYLES:
                out = style(patch, side, np.random.default_rng(int(side)))
                self.assertEqual(out.shape, patch.shape, style.__name__)
                self.assertTrue(np.isfinite(out).all(), style.__name__)

    def test_halftone_prints_a_grey_with_its_own_share_of_white(self):
        from modelkit.data import face_styles as fs
        for grey in (20.0, 90.0, 200.0):
            out = fs.halftone(np.full((160, 160, 3), grey, np.float32), 80.0, np.random.default_rng(2))
            self.assertAlmostEqual(float(out.mean()), grey, delta=3.0)
            self.assertGreater(float((out < 64).mean() + (out > 192).mean()), 0.6)   # dots, not grey

    def test_ink_is_two_tones(self):
        from modelkit.data import face_styles as fs
        rng = np.random.default_rng(3)
        patch = simple_face(120)
        for seed in range(4):
            out = fs.ink(patch + rng.normal(0, 5, patch.shape).astype(np.float32), 60.0,
                         np.random.default_rng(seed))
            self.assertEqual(len(np.unique(out)), 2)

    def test_a_covered_face_keeps_both_eyes_or_the_mouth_in_view(self):
        from modelkit.data import face_styles as fs
        # Canonical face of side 100 centred in a 200 patch, with iod equal to
        # eye-to-mouth distance d: side 2.2 d, eye centre 0.6 d above the box
        # centre, mouth 0.4 d below, eyes d / 2 to either side.
        side, d = 100.0, 100.0 / 2.2
        eyes = [(100 - d / 2, 100 - 0.6 * d), (100 + d / 2, 100 - 0.6 * d)]
        mouth = (100.0, 100 + 0.4 * d)
        patch = np.full((200, 200, 3), 500.0, np.float32)   # no tone the cover can have
        for seed in range(200):
            out = fs.covered(patch, side, np.random.default_rng(seed))
            seen = [bool((out[int(y), int(x)] == 500.0).all()) for x, y in eyes + [mouth]]
            self.assertTrue((seen[0] and seen[1]) or seen[2], "seed %d hides %s" % (seed, seen))
            self.assertLess(float((out != 500.0).any(2).mean()), 0.5)

    def test_shadow_darkens_without_brightening_and_leaves_a_lit_side(self):
        from modelkit.data import face_styles as fs
        patch = np.full((100, 100, 3), 200.0, np.float32)
        for seed in range(20):
            out = fs.shadow(patch, 50.0, np.random.default_rng(seed))
            self.assertLessEqual(float(out.max()), 200.0 + 1e-3)
            self.assertGreater(float(out.max()), 170.0)
            self.assertLess(float(out.min()), 120.0)


    def test_glasses_stay_on_the_eye_line_and_bridge_the_eyes(self):
        from modelkit.data import face_styles as fs
        d = 50.0
        centre = np.array([100.0, 90.0])
        patch = np.full((200, 200, 3), 120.0, np.float32)   # no tone a rim can have
        for angle in (0.0, 20.0, -25.0):
            u = np.array([math.cos(math.radians(angle)), math.sin(math.radians(angle))])
            across_dir = np.array([-u[1], u[0]])
            eyes = np.stack([centre + u * d / 2, centre - u * d / 2])   # either order
            for seed in range(12):
                out = fs.glasses(patch, eyes, np.random.default_rng(seed))
                self.assertEqual(out.shape, patch.shape)
                changed = np.abs(out - patch).max(2) > 1e-3
                ys, xs = np.nonzero(changed)
                rel = np.stack([xs, ys], 1) - centre
                # Lenses at most 0.46 d wide and 0.9 of that high about each eye,
                # temples at most 0.45 d beyond them, a pixel of anti-aliasing.
                self.assertLessEqual(float(np.abs(rel @ across_dir).max()), 0.5 * d + 2, (angle, seed))
                self.assertLessEqual(float(np.abs(rel @ u).max()), 1.45 * d + 2, (angle, seed))
                self.assertTrue(changed[int(round(centre[1])), int(round(centre[0]))], (angle, seed))
        close = fs.glasses(patch, [(100.0, 90.0), (101.0, 90.0)], np.random.default_rng(0))
        self.assertTrue(np.array_equal(close, patch))


def simple_face(n):
    """A grey patch with darker eyes and mouth, as a float BGR face."""
    y, x = np.mgrid[0:n, 0:n].astype(np.float32)
    g = np.full((n, n), 180.0, np.float32)
    for cx, cy, r in ((0.38, 0.42, 0.06), (0.62, 0.42, 0.06), (0.5, 0.68, 0.08)):
        g[(x - cx * n) ** 2 + (y - cy * n) ** 2 < (r * n) ** 2] = 40.0
    return np.repeat(g[..., None], 3, 2)


class CloseUps(unittest.TestCase):
    def test_cut_is_four_by_three_and_stays_inside_the_photo(self):
        from modelkit.evaluate.close_ups import cut_window
        self.assertEqual(cut_window((600, 1000), (500, 300), 300), (300, 150, 400, 300))   # centred
        self.assertEqual(cut_window((600, 1000), (50, 580), 300), (0, 300, 400, 300))      # pushed in
        self.assertEqual(cut_window((600, 1000), (500, 300), 600), (100, 0, 800, 600))     # as high as the photo
        self.assertIsNone(cut_window((600, 1000), (500, 300), 601))
        self.assertIsNone(cut_window((1000, 600), (300, 500), 460))                        # too wide


class EpochValidation(unittest.TestCase):
    def test_best_and_mean_of_a_run(self):
        import io
        from contextlib import redirect_stdout
        from modelkit.train.epoch_validation import RunValidation
        model = nn.Linear(1, 1, bias=False)
        scores = iter([0.5, 0.7, 0.5, 0.3, 0.4])
        saved = {}
        kept = RunValidation(lambda m: {"err": next(scores)}, lambda e: e["err"], "score",
                             lambda path, extra: saved.setdefault(path, []).append(extra), "best.pt",
                             average_from=0.5)
        with redirect_stdout(io.StringIO()):
            kept.start_from(model)          # a fine-tune's start is a score to beat
            for weight, frac in ((1.0, 0.2), (2.0, 0.5), (4.0, 0.9)):
                with torch.no_grad():
                    model.weight.fill_(weight)
                kept.after_epoch(model, 0, frac)
            kept.finish(model, 100, "mean.pt")
        # Neither a worse nor an equal score is saved; the file holds the new best.
        self.assertEqual([e["best"] for e in saved["best.pt"]], [0.3])
        self.assertEqual(kept.best, 0.3)
        # The mean is of the epochs from half the time on, and is scored.
        self.assertEqual(float(model.weight), 3.0)
        self.assertEqual(saved["mean.pt"], [{"validation": {"err": 0.4}, "averaged": 2}])

    def test_the_late_epochs_mean_survives_a_checkpoint(self):
        import os
        import tempfile
        from modelkit.train.clock import WeightAverage
        model = nn.Linear(1, 1, bias=False)
        first = WeightAverage()
        for weight in (1.0, 2.0):
            with torch.no_grad():
                model.weight.fill_(weight)
            first.update(model)
        with tempfile.TemporaryDirectory() as folder:
            path = os.path.join(folder, "last.pt")
            torch.save(first.saved(), path)
            resumed = WeightAverage()
            resumed.resume(torch.load(path))
        with torch.no_grad():
            model.weight.fill_(6.0)
        resumed.update(model)
        self.assertEqual(resumed.count, 3)
        self.assertEqual(float(resumed.state()["weight"]), 3.0)
        # A checkpoint from before the mean was kept starts an empty one.
        empty = WeightAverage()
        empty.resume({"model": {}})
        self.assertEqual((empty.sum, empty.count), (None, 0))

    def test_a_resumed_run_carries_on_at_the_fraction_it_is_given(self):
        from modelkit.train.clock import start_for_fraction
        now, end = 1_000_000.0, 1_003_600.0
        for frac in (0.0, 0.3, 0.9):
            start = start_for_fraction(now, end, frac)
            self.assertAlmostEqual((now - start) / (end - start), frac)
        self.assertEqual(start_for_fraction(now, end, 0.0), now)
        with self.assertRaises(ValueError):
            start_for_fraction(now, end, 1.0)

    def test_learning_rate_warms_up_then_falls_to_its_floor(self):
        from modelkit.train.epoch_validation import learning_rate
        self.assertAlmostEqual(learning_rate(1.0, 0, 0.0), 1.0 / 300)
        self.assertAlmostEqual(learning_rate(1.0, 299, 0.0), 1.0)
        self.assertAlmostEqual(learning_rate(1.0, 5000, 0.5), 0.51)
        self.assertAlmostEqual(learning_rate(1.0, 5000, 1.0), 0.02)


class DetectorOperatingPoints(unittest.TestCase):
    def test_bias_keeps_the_detection_at_the_threshold_and_drops_the_next_lower(self):
        from modelkit.evaluate import operating_points as op
        for t in (0.3, 0.8, 0.95, 0.9991):
            z = math.log(t / (1 - t))
            b = op.bias_for(t)
            self.assertGreaterEqual(1 / (1 + math.exp(-(z - b))), 0.8)
            lower = t - 0.01
            self.assertLess(1 / (1 + math.exp(-(math.log(lower / (1 - lower)) - b))), 0.8)

    def test_most_faces_per_false_limit(self):
        from modelkit.evaluate import operating_points as op
        from modelkit.evaluate import detector as ev
        face = ev.Face((20, 20), (40, 20), (30, 40))          # eye-to-mouth 20
        truth = {"a": [face], "b": []}
        hit, miss = (10, 10, 50, 50), (100, 100, 140, 140)
        found = {"a": [(0.9, miss), (0.7, hit)], "b": [(0.95, miss), (0.6, miss)]}
        points = op.operating_points(truth, found)
        self.assertEqual(points[5], (1, 2, 0.7))             # the face costs two false detections
        found["a"] = [(0.99, hit)]
        self.assertEqual(op.operating_points(truth, found)[5], (1, 0, 0.99))


class InTheWildFaces(unittest.TestCase):
    def test_faces_of_one_photo_share_a_group_and_the_hold_out_is_about_fifteen_percent(self):
        from modelkit.data import datasets, faces300w
        self.assertEqual(faces300w.photo_group("afw_1130084326_2.jpg"), "300w:afw_1130084326")
        self.assertEqual(faces300w.photo_group("helen_100032540_1.jpg"), "300w:helen_100032540")
        self.assertEqual(faces300w.photo_group("x/helen_1_2_3.jpg"), "300w:helen_1_2")
        groups = ["300w:helen_%d" % i for i in range(4000)]
        held = [datasets.is_validation(g) for g in groups]
        self.assertAlmostEqual(sum(held) / len(held), 0.15, delta=0.02)
        self.assertEqual(held, [faces300w.group_is_validation(g) for g in groups])   # the same rule both ways
        # Other sources keep their own 10 % rule.
        self.assertEqual(datasets.is_validation("yt:Aaron_1"), zlib.crc32(b"yt:Aaron_1") % 10 == 0)

    def test_detector_scenes_take_no_faces300w_validation_photo(self):
        import cv2
        from unittest import mock
        from modelkit.data import detector_scenes as ds, faces300w
        from modelkit.data.face_box import five_from_68
        names = ["helen_%d_1.jpg" % i for i in range(40)]
        held = [faces300w.group_is_validation(faces300w.photo_group(n)) for n in names]
        self.assertTrue(any(held) and not all(held))
        p68 = np.tile([[60.0, 70.0]], (68, 1)) + np.random.default_rng(5).random((68, 2)) * 60
        with tempfile.TemporaryDirectory() as tmp:
            cv2.imwrite(os.path.join(tmp, "face.png"), np.full((192, 192, 3), 90, np.uint8))
            with mock.patch.object(faces300w, "read_points", lambda: [(n, p68 + i) for i, n in enumerate(names)]), \
                    mock.patch.object(faces300w, "image_path", lambda n: os.path.join(tmp, "face.png")):
                got = ds.load_faces300w_photos()
        # Each photo's points are shifted by its index: the eyes tell which were taken.
        first = five_from_68(p68)[0, 0]
        taken = [int(round(ph.points[0, 0] - first)) for ph in got]
        self.assertEqual(taken, [i for i, h in enumerate(held) if not h])

    def test_wider68_names_cuts_and_teacher_scale(self):
        import cv2
        from modelkit.data import wider68
        name = wider68.face_name("12--Group/12_Group_x_123.jpg", 7)
        self.assertNotIn("/", name)
        self.assertEqual(wider68.photo_group(name), "wider:12--Group/12_Group_x_123")
        # A spot of the photo lands where the cut's matrix sends it.
        grey = np.zeros((120, 160), np.uint8)
        grey[49:52, 69:72] = 255            # centre (70, 50)
        cut, m = wider68.cut_around(grey, (60.0, 35.0, 24.0, 30.0))
        self.assertEqual(cut.shape, (60, 60))
        ys, xs = np.nonzero(cut > 128)
        np.testing.assert_allclose([xs.mean(), ys.mean()], m @ [70.0, 50.0, 1.0], atol=0.01)
        # The teacher's points on the enlarged cut come back to the cut's pixels.
        k = 300 / 60.0
        big = cv2.resize(cut.astype(np.float32), (300, 300), interpolation=cv2.INTER_CUBIC)
        w = np.clip(big, 0, None)
        yy, xx = np.mgrid[0:300, 0:300]
        centroid = [(w * xx).sum() / w.sum(), (w * yy).sum() / w.sum()]
        np.testing.assert_allclose(wider68.enlarged_to_cut([centroid], k)[0], [xs.mean(), ys.mean()], atol=0.05)

    def test_the_68_points_of_a_95_point_shape(self):
        from modelkit.data import layout95
        rng = np.random.default_rng(3)
        p = rng.random((68, 2)) * 100
        back = layout95.to68(layout95.from68(p))
        self.assertTrue(np.allclose(back[layout95.HELD68], p[layout95.HELD68]))
        self.assertEqual(len(layout95.HELD68), 47)
        # Jaw and brows evenly spaced along straight lines come back whole.
        p[0:17] = np.stack([np.linspace(10, 90, 17), np.linspace(40, 60, 17)], 1)
        p[17:22] = np.stack([np.linspace(20, 40, 5), np.full(5, 30.0)], 1)
        p[22:27] = np.stack([np.linspace(60, 80, 5), np.linspace(30, 25, 5)], 1)
        self.assertTrue(np.allclose(layout95.to68(layout95.from68(p)), p))

    def test_the_layout_eye_centre_averages_two_corners_and_two_lid_points(self):
        from modelkit.data import layout95
        from modelkit.evaluate.photos import corner_midpoint_five
        p = np.random.default_rng(4).random((68, 2)) * 100
        shape = layout95.from68(p)
        five = layout95.five_points(shape)
        self.assertTrue(np.allclose(five[0], p[[36, 37, 39, 40]].mean(0)))
        self.assertTrue(np.allclose(five[1], p[[42, 43, 45, 46]].mean(0)))
        self.assertTrue(np.allclose(five[2:], p[[30, 48, 54]]))
        corners = corner_midpoint_five(shape)
        self.assertTrue(np.allclose(corners[0], p[[36, 39]].mean(0)))
        self.assertTrue(np.allclose(corners[1], p[[42, 45]].mean(0)))


class EyeRings(unittest.TestCase):
    """Files of the layout whose eye rings started at the corners, renumbered."""

    @staticmethod
    def old_shape(p68):
        from modelkit.data import layout95
        s = layout95.from68(p68)
        for first in layout95.EYE_RING_ROWS:
            s[first:first + 12] = np.roll(s[first:first + 12], 1, axis=0)
        return s

    def test_an_old_shape_renumbered_is_the_new_layout(self):
        from modelkit.data import layout95
        from modelkit.export.eye_rings import new_from_old
        p = np.random.default_rng(5).random((68, 2)) * 100
        old = self.old_shape(p)
        self.assertTrue(np.allclose(old[39], p[36]) and np.allclose(old[45], p[39]))   # corners, as they were
        self.assertTrue(np.allclose(old[new_from_old()], layout95.from68(p)))

    def test_the_network_gives_the_renumbered_points(self):
        from modelkit.export.eye_rings import renumber_network, new_from_old
        rng = np.random.default_rng(6)
        w, b = rng.standard_normal((190, 7)).astype(np.float32), rng.standard_normal(190).astype(np.float32)
        layer = stdcnn.Layer([("type", "fullconnect"), ("node_num", 190)], [1], [w.reshape(-1).copy(), b.copy()])
        face = stdcnn.Layer([("type", "fullconnect"), ("node_num", 2)], [1], [np.zeros(14, np.float32),
                                                                               np.zeros(2, np.float32)])
        model = renumber_network(stdcnn.Model(1, 1, 7, [layer, face], [2, 3]))
        x = rng.standard_normal(7).astype(np.float32)
        old = (w @ x + b).reshape(95, 2)
        new = (model.layers[0].weights[0].reshape(190, 7) @ x + model.layers[0].weights[1]).reshape(95, 2)
        self.assertTrue(np.array_equal(new, old[new_from_old()]))
        self.assertTrue(np.array_equal(model.layers[1].weights[1], np.zeros(2, np.float32)))  # the face check stays

    def test_the_cascade_predicts_the_renumbered_shape(self):
        # The shape box moves with rows 39, 45, 51, 57; the prediction must not.
        from modelkit.export.eye_rings import renumber_cascade, new_from_old
        from modelkit.formats import cascade95 as c95
        rng = np.random.default_rng(7)
        p = np.array([[40 + 30 * np.cos(a), 50 + 35 * np.sin(a)] for a in np.linspace(0, 6, 68)])
        p[36:42] = [[30, 40], [34, 37], [38, 37], [42, 40], [38, 42], [34, 42]]
        p[42:48] = [[58, 40], [62, 37], [66, 37], [70, 40], [66, 42], [62, 42]]
        p[48], p[54] = [38, 75], [62, 75]
        old = self.old_shape(p)
        stages = []
        for _ in range(2):
            trees = []
            for _ in range(3):
                root = c95.Node()
                root.la, root.lb = int(rng.integers(39, 63)), int(rng.integers(0, 95))
                root.oa, root.ob = tuple(rng.uniform(-0.1, 0.1, 2)), tuple(rng.uniform(-0.1, 0.1, 2))
                root.threshold, root.left, root.right = float(rng.integers(-20, 20)), 1, 2
                trees.append(c95.Tree([root, c95.Node(0), c95.Node(1)], 2, 1))
            stages.append(c95.Stage(trees, rng.uniform(-0.1, 0.1, (6, 190))))
        cascade = c95.Cascade(old + rng.uniform(-3, 3, old.shape), stages)
        grey = rng.integers(0, 256, (100, 100)).astype(np.uint8)
        want = c95.predict(cascade, grey, old.astype(np.float32))[new_from_old()]
        got = c95.predict(renumber_cascade(cascade), grey, old[new_from_old()].astype(np.float32))
        self.assertLess(np.abs(got - want).max(), 1e-3)
        self.assertGreater(np.abs(want - old[new_from_old()]).max(), 0.2)   # the trees did move the points

    def test_a_face_is_matched_to_the_box_that_holds_its_eyes_and_mouth(self):
        from modelkit.evaluate.photos import match
        p68 = np.zeros((68, 2))
        p68[36:42], p68[42:48] = (40, 50), (80, 50)     # eye centres
        p68[48], p68[54], p68[30] = (45, 100), (75, 100), (60, 75)
        near, far, off = np.array([1.0]), np.array([2.0]), np.array([3.0])
        self.assertIs(match([((0, 0, 200, 200), far), ((20, 20, 90, 100), near)], p68)[1], near)
        self.assertIs(match([((0, 0, 70, 200), off)], p68), None)           # the other eye outside
        self.assertIs(match([((30, 30, 60, 60), off)], p68), None)          # the mouth outside
        self.assertIs(match([], p68), None)


class NinetyFiveScore(unittest.TestCase):
    def test_faces300w_joins_the_score_only_when_the_run_uses_it(self):
        from modelkit.train.ninety_five import score_of
        errs = {"frames68_e5": 0.05, "frames68_accept": 1.0, "lfw_grey_accept": 1.0,
                "boxes_accept": 0.0, "points_accept": 0.0}
        self.assertAlmostEqual(score_of(errs), 0.05)
        errs.update(faces300w_e5=0.04, faces300w_accept=0.97)
        # its five points add, and its faces' acceptance is held to 99 % too
        self.assertAlmostEqual(score_of(errs), 0.05 + 0.04 + 0.02)


class CascadePixels(unittest.TestCase):
    def test_face_pixels_hang_on_their_nearest_point(self):
        from modelkit.train.cascade_trees import feature_pool
        rng = np.random.default_rng(3)
        mean = rng.uniform(-0.7, 0.7, (95, 2))
        anchors, offsets = feature_pool(mean, rng, 400, 0.1, "face")
        pixels = mean[anchors] + offsets
        for p, a in zip(pixels, anchors):
            nearest = min(range(95), key=lambda k: (p[0] - mean[k, 0]) ** 2 + (p[1] - mean[k, 1]) ** 2)
            self.assertEqual(a, nearest)
        self.assertTrue(np.all(pixels >= mean.min(0) - 0.1 - 1e-12))
        self.assertTrue(np.all(pixels <= mean.max(0) + 0.1 + 1e-12))

    def test_pairs_are_drawn_by_their_distance_weight(self):
        from modelkit.train.cascade_trees import PairSampler
        # Three pixels on a line at 0, 0.1 and 0.3: weights exp(-d / 0.1) of
        # the ordered pairs, never a pixel with itself.
        positions = np.array([[0.0, 0.0], [0.1, 0.0], [0.3, 0.0]])
        a, b = PairSampler(positions, np.random.default_rng(5), 0.1).draw(60000)
        self.assertFalse(np.any(a == b))
        w = {(0, 1): math.exp(-1), (1, 2): math.exp(-2), (0, 2): math.exp(-3)}
        total = sum(w.values())
        for (i, j), weight in w.items():
            seen = np.mean(((a == i) & (b == j)) | ((a == j) & (b == i)))
            self.assertAlmostEqual(seen, weight / total, delta=0.01)
        # without a scale every ordered pair (self pairs too) is equally likely
        a, b = PairSampler(positions, np.random.default_rng(5), 0.0).draw(60000)
        self.assertAlmostEqual(np.mean((a == 0) & (b == 2)), 1 / 9, delta=0.01)

    def test_per_stage_radii(self):
        import argparse

        from modelkit.train.cascade import per_stage_values
        self.assertEqual(per_stage_values("0.2,0.1"), [0.2, 0.1])
        for bad in ("0", "0.1,-0.1", "a", ""):
            with self.subTest(text=bad), self.assertRaises(argparse.ArgumentTypeError):
                per_stage_values(bad)


class EntryPoint(unittest.TestCase):
    def test_every_command_has_a_module_with_main_and_is_listed(self):
        import importlib

        from modelkit import __main__ as entry
        listing = entry.usage()
        commands = [(stage, name, module) for stage, table in entry.STAGES.items()
                    for name, (module, _) in table.items()]
        commands += [(None, name, module) for name, (module, _) in entry.SINGLE.items()]
        for stage, name, module in commands:
            self.assertTrue(callable(getattr(importlib.import_module(module), "main", None)), module)
            self.assertIn(name if stage is None else "%s %s" % (stage, name), listing)

    def test_every_command_answers_help(self):
        # --help must not need data, helpers or a checkpoint: argparse exits 0
        # before the command does anything.
        from unittest import mock

        from modelkit import __main__ as entry
        for stage, table in entry.STAGES.items():
            for name in table:
                with self.subTest(command="%s %s" % (stage, name)), mock.patch("sys.argv", ["selftest"]), \
                        contextlib.redirect_stdout(io.StringIO()) as out, self.assertRaises(SystemExit) as done:
                    entry.main([stage, name, "--help"])
                self.assertIn(done.exception.code, (0, None))
                self.assertIn("usage: python3 -m modelkit %s %s" % (stage, name), out.getvalue())

    def test_unknown_commands_are_refused(self):
        from modelkit import __main__ as entry
        cases = ((["trian"], "unknown command 'trian'"),
                 (["train", "five_points"], "unknown command 'five_points'"),
                 (["train"], "usage: python3 -m modelkit train {"),   # a stage without its command
                 ([], "usage: python3 -m modelkit COMMAND"))
        for argv, message in cases:
            with self.subTest(argv=argv), contextlib.redirect_stderr(io.StringIO()) as err:
                self.assertEqual(entry.main(argv), 2)
                self.assertIn(message, err.getvalue())


def main():
    # The module by name: run through `python3 -m modelkit selftest`, the
    # program's __main__ is the entry point, not this file.
    unittest.main(module="modelkit.selftest")


if __name__ == "__main__":
    main()
